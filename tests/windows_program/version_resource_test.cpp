// The Windows program's version resource, read back the way Explorer's properties page reads
// it: from the stand-in's own file and from the real programs of both machines.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace {

// A file whose version resource is read: this test program (the stand-in) or a program of the
// build (its path given at build time), whose code must be for `machine`.
struct VersionSource {
    const char *name;  // the case's name
    const char *file;  // null: this test program's own file
    WORD machine;      // IMAGE_FILE_MACHINE_*
};

// The machine this test program is built for, like the program of its own build.
const WORD ownMachine = sizeof(void *) == 4 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;

const VersionSource sources[] = {
    {"StandIn", nullptr, ownMachine},
    {"I686Program", VANTREL_I686_PROGRAM, IMAGE_FILE_MACHINE_I386},
    {"X86_64Program", VANTREL_X86_64_PROGRAM, IMAGE_FILE_MACHINE_AMD64},
};

// How a case shows in the test names and messages.
void PrintTo(const VersionSource &source, std::ostream *out)
{
    *out << source.name;
}

// The machine field of a PE file's header, or 0 when the file is no PE file.
WORD machineOf(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    uint32_t headerOffset = 0;
    in.seekg(0x3C);
    in.read(reinterpret_cast<char *>(&headerOffset), sizeof headerOffset);
    char signature[4] = {};
    WORD machine = 0;
    in.seekg(headerOffset);
    in.read(signature, sizeof signature);
    in.read(reinterpret_cast<char *>(&machine), sizeof machine);
    return in && std::memcmp(signature, "PE\0\0", 4) == 0 ? machine : 0;
}

// The value at `key` of the version information, with its length in the value's own units.
const void *query(std::vector<uint8_t> &info, const wchar_t *key, UINT *length)
{
    void *value = nullptr;
    *length = 0;
    if (!VerQueryValueW(info.data(), key, &value, length))
        return nullptr;
    return value;
}

// Reads the version information of the case's file; skips when the other machine's program is
// absent (its build has not been made beside this one). This build's program is always built.
class VersionResource : public ::testing::TestWithParam<VersionSource> {
protected:
    void SetUp() override
    {
        const VersionSource &source = GetParam();
        std::filesystem::path path;
        if (source.file == nullptr) {
            wchar_t self[MAX_PATH];
            ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
            path = self;
        } else {
            path = std::filesystem::path(source.file).make_preferred();
            if (source.machine != ownMachine && !std::filesystem::exists(path))
                GTEST_SKIP() << path.string() << " is not built";
        }
        ASSERT_EQ(machineOf(path), source.machine) << path.string();
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << "no version resource in " << path.string();
        info_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info_.data()));
    }

    std::vector<uint8_t> info_;
};

TEST_P(VersionResource, FixedPartHoldsVersion1001)
{
    std::vector<uint8_t> &info = info_;
    UINT length = 0;
    auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(query(info, L"\\", &length));
    ASSERT_NE(fixed, nullptr);
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));
}

TEST_P(VersionResource, OneUSEnglishTranslationWithItsTexts)
{
    std::vector<uint8_t> &info = info_;
    UINT length = 0;
    auto *translation = static_cast<const WORD *>(query(info, L"\\VarFileInfo\\Translation", &length));
    ASSERT_NE(translation, nullptr);
    ASSERT_EQ(length, 2 * sizeof(WORD)) << "exactly one language";
    EXPECT_EQ(translation[0], 1033);  // U.S. English
    EXPECT_EQ(translation[1], 1200);  // Unicode texts

    const struct {
        const wchar_t *name;
        const wchar_t *text;
    } texts[] = {
        {L"CompanyName", L"Orvane"},
        {L"FileDescription", L"Orvane Tessaline 6170 Vantrel"},
        {L"FileVersion", L"1.0.0.1"},
        {L"InternalName", L"Orvane Tessaline 6170 Vantrel"},
        {L"ProductName", L"Orvane Tessaline 6170 Vantrel"},
        {L"ProductVersion", L"1.0.0.1"},
    };
    for (const auto &t : texts) {
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + t.name;
        SCOPED_TRACE(std::string(key.begin(), key.end()));
        auto *text = static_cast<const wchar_t *>(query(info, key.c_str(), &length));
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::wstring(text), t.text);
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, VersionResource, ::testing::ValuesIn(sources),
                         [](const ::testing::TestParamInfo<VersionSource> &source) { return std::string(source.param.name); });

}  // namespace
