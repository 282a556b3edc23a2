// The platform layer against the real Win32 calls, on temporary files: sizes, reads, the
// open rule after an earlier error code, and the disk list ending without an error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

#include "windows/device_access.h"
#include "windows/disk_list.h"

namespace {

namespace fs = std::filesystem;

class RealWin32Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = fs::temp_directory_path() / ("vantrel_win_" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(folder_);
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Writes `data` to a new file in the test folder and returns its wide path.
    std::wstring file(const std::string &name, const std::string &data)
    {
        const fs::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << data;
        return path.wstring();
    }

    static DWORD handleCount()
    {
        DWORD count = 0;
        GetProcessHandleCount(GetCurrentProcess(), &count);
        return count;
    }

    fs::path folder_;
};

std::string pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = char(i * 13 + 1);
    return data;
}

TEST_F(RealWin32Test, DeviceSizeOfFilesAndOfAMissingName)
{
    const std::wstring full = file("full.img", pattern(70000));
    const std::wstring empty = file("empty.img", "");
    const DWORD before = handleCount();
    EXPECT_EQ(deviceSize(full), 70000);
    EXPECT_EQ(deviceSize(empty), 0);
    EXPECT_EQ(deviceSize(folder_.wstring() + L"\\missing.img"), -1);
    EXPECT_EQ(handleCount(), before);
}

TEST_F(RealWin32Test, ReaderReadsBlocksShortAtTheEndAndWithoutACount)
{
    const std::string data = pattern(20000);
    const std::wstring name = file("data.img", data);
    const DWORD before = handleCount();
    {
        DeviceReader reader;
        reader.open(name);
        ASSERT_TRUE(reader.ok) << reader.lastError;
        std::vector<uint8_t> buffer(8192);
        uint32_t count = 0;
        reader.readAt(buffer.data(), 8192, 4096, &count);
        EXPECT_TRUE(reader.ok);
        EXPECT_EQ(count, 8192u);
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), data.substr(4096, 8192));

        reader.readAt(buffer.data(), 8192, 16384, &count);
        EXPECT_TRUE(reader.ok);
        EXPECT_EQ(count, 20000u - 16384u);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + count), data.substr(16384));

        reader.readAt(buffer.data(), 512, 0, nullptr);
        EXPECT_TRUE(reader.ok);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 512), data.substr(0, 512));

        // A second reader of the same file at the same time, as several sampler threads do.
        DeviceReader other;
        other.open(name);
        EXPECT_TRUE(other.ok) << other.lastError;
    }
    EXPECT_EQ(handleCount(), before);
}

TEST_F(RealWin32Test, ASuccessfulOpenIsNotSpoiledByAnEarlierErrorCode)
{
    const std::wstring name = file("stale.img", pattern(4096));
    SetLastError(ERROR_NO_MORE_ITEMS);
    DeviceReader reader;
    reader.open(name);
    EXPECT_TRUE(reader.ok) << reader.lastError;
    SetLastError(ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(deviceSize(name), 4096);
}

TEST_F(RealWin32Test, AMissingNameFailsToOpenWithItsCode)
{
    DeviceReader reader;
    reader.open(folder_.wstring() + L"\\missing.img");
    EXPECT_FALSE(reader.ok);
    EXPECT_EQ(reader.lastError, DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(RealWin32Test, TheDiskListEndsWithoutAnError)
{
    std::wostringstream errors;
    const std::optional<DiskMap> disks = listDisks(errors);
    EXPECT_TRUE(disks);
    EXPECT_EQ(errors.str(), L"");
}

}  // namespace
