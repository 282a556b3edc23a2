// The Windows program's version resource, read back from the program's own file the way
// Explorer's properties page reads it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> ownVersionInfo()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_GT(length, 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    EXPECT_GT(size, 0u) << "no version resource";
    std::vector<uint8_t> info(size);
    EXPECT_TRUE(GetFileVersionInfoW(path, 0, size, info.data()));
    return info;
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

TEST(VersionResource, FixedPartHoldsVersion1001)
{
    std::vector<uint8_t> info = ownVersionInfo();
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

TEST(VersionResource, OneUSEnglishTranslationWithItsTexts)
{
    std::vector<uint8_t> info = ownVersionInfo();
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

}  // namespace
