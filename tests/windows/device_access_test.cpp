// The Windows device reader and deviceSize against the fake Windows: the exact open
// arguments, the failure rules, short and failed reads, and no handle left open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/windows/fake_win32.h"
#include "windows/device_access.h"

namespace {

const std::wstring imageName = L"Z:\\images\\disk.img";

std::string pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = char(i * 7 + 3);
    return data;
}

TEST(WindowsDeviceReaderTest, OpensForReadingSharedWithEveryOtherOpener)
{
    FakeWin32 fake;
    fake.files[imageName].data = "abc";
    {
        DeviceReader reader;
        EXPECT_TRUE(reader.path.empty());
        EXPECT_EQ(reader.handle, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(reader.ok);
        reader.open(imageName);
        EXPECT_TRUE(reader.ok);
        EXPECT_EQ(reader.path, imageName);
        EXPECT_NE(reader.handle, INVALID_HANDLE_VALUE);
        ASSERT_EQ(fake.opens.size(), 1u);
        const OpenCall &call = fake.opens[0];
        EXPECT_EQ(call.name, imageName);
        EXPECT_EQ(call.access, DWORD(GENERIC_READ));
        EXPECT_EQ(call.share, DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
        EXPECT_EQ(call.disposition, DWORD(OPEN_EXISTING));
        EXPECT_EQ(call.flags, DWORD(FILE_ATTRIBUTE_NORMAL));
        EXPECT_TRUE(call.plain);
        EXPECT_EQ(fake.openHandles.size(), 1u);
    }
    EXPECT_TRUE(fake.openHandles.empty());
    EXPECT_EQ(fake.badCloses, 0);
}

TEST(WindowsDeviceReaderTest, FailedOpenKeepsTheCodeAndDestructionClosesOnlyARealHandle)
{
    const struct {
        const char *what;
        bool exists;
        FakeFile file;
        DWORD staleCode;  // the thread's code before the open
        DWORD expectedError;
    } cases[] = {
        {"missing name", false, {}, 0, ERROR_FILE_NOT_FOUND},
        {"access denied", true, [] { FakeFile f; f.openError = ERROR_ACCESS_DENIED; return f; }(), 0,
         ERROR_ACCESS_DENIED},
        {"a handle with a code", true,
         [] { FakeFile f; f.openError = ERROR_SHARING_VIOLATION; f.handleDespiteError = true; return f; }(), 0,
         ERROR_SHARING_VIOLATION},
        {"no handle and no code", true, [] { FakeFile f; f.invalidWithoutCode = true; return f; }(), 0,
         ERROR_INVALID_HANDLE},
        {"earlier code, missing name", false, {}, ERROR_NO_MORE_ITEMS, ERROR_FILE_NOT_FOUND},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeWin32 fake;
        if (c.exists) fake.files[imageName] = c.file;
        fake.lastError = c.staleCode;
        {
            DeviceReader reader;
            EXPECT_NO_THROW(reader.open(imageName));
            EXPECT_FALSE(reader.ok);
            EXPECT_EQ(reader.lastError, c.expectedError);
            EXPECT_EQ(reader.path, imageName);
        }
        EXPECT_TRUE(fake.openHandles.empty());
        EXPECT_EQ(fake.badCloses, 0);
    }
}

TEST(WindowsDeviceReaderTest, ReadsOnceAtTheOffsetAndReportsWhatReadFileReports)
{
    const std::string data = pattern(10000);
    const struct {
        const char *what;
        int64_t length, offset;
        bool withCount;
        DWORD readError;
        DWORD expectedAsked;
        uint32_t expectedCount;
        bool expectedOk;
    } cases[] = {
        {"whole block", 4096, 4096, true, 0, 4096, 4096, true},
        {"short at the end", 4096, 8192, true, 0, 4096, 10000 - 8192, true},
        {"null count pointer", 512, 512, false, 0, 512, 0, true},
        {"failed read", 4096, 0, true, ERROR_CRC, 4096, 0, false},
        {"length above 4 GiB uses its low 32 bits", (int64_t(1) << 32) + 16, 0, true, 0, 16, 16, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeWin32 fake;
        fake.files[imageName].data = data;
        fake.files[imageName].readError = c.readError;
        DeviceReader reader;
        reader.open(imageName);
        ASSERT_TRUE(reader.ok);
        std::vector<uint8_t> buffer(8192, 0xEE);
        uint32_t count = 0xDEAD;
        reader.readAt(buffer.data(), c.length, c.offset, c.withCount ? &count : nullptr);
        EXPECT_EQ(reader.ok, c.expectedOk);
        EXPECT_EQ(reader.lastError, c.expectedOk ? 0u : c.readError);
        EXPECT_EQ(fake.seeks, std::vector<int64_t>{c.offset});
        EXPECT_EQ(fake.readSizes, std::vector<DWORD>{c.expectedAsked});
        if (c.withCount) {
            EXPECT_EQ(count, c.expectedCount);
        }
        const size_t got = c.withCount ? c.expectedCount : size_t(c.expectedAsked);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + got), data.substr(size_t(c.offset), got));
        EXPECT_EQ(fake.badRecords, 0);
    }
}

TEST(WindowsDeviceReaderTest, ASuccessfulReadLeavesAnEarlierFailureStanding)
{
    FakeWin32 fake;
    fake.files[imageName].data = pattern(2048);
    fake.files[imageName].readError = ERROR_CRC;
    DeviceReader reader;
    reader.open(imageName);
    std::vector<uint8_t> buffer(1024);
    uint32_t count = 0;
    reader.readAt(buffer.data(), 1024, 0, &count);
    EXPECT_FALSE(reader.ok);
    fake.files[imageName].readError = 0;
    reader.readAt(buffer.data(), 1024, 1024, &count);
    EXPECT_EQ(count, 1024u);
    EXPECT_FALSE(reader.ok);
    EXPECT_EQ(reader.lastError, DWORD(ERROR_CRC));
}

TEST(WindowsDeviceSizeTest, DiskGeometryThenFileSizeThenFailureWithNoHandleLeftOpen)
{
    auto file = [](std::string data) {
        FakeFile f;
        f.data = std::move(data);
        return f;
    };
    FakeFile disk;
    disk.diskSize = 500107862016LL;
    FakeFile denied;
    denied.openError = ERROR_ACCESS_DENIED;
    FakeFile handleWithCode = denied;
    handleWithCode.handleDespiteError = true;
    FakeFile noCode;
    noCode.invalidWithoutCode = true;
    FakeFile sizeless = file("xyz");
    sizeless.sizeFails = true;
    const struct {
        const char *what;
        bool exists;
        FakeFile file;
        int64_t expected;
        int expectedCloses;  // handles opened, each closed again
    } cases[] = {
        {"disk", true, disk, 500107862016LL, 1},
        {"regular file", true, file(pattern(12345)), 12345, 1},
        {"empty file", true, file(""), 0, 1},
        {"file whose size cannot be read", true, sizeless, -1, 1},
        {"unopenable name", false, {}, -1, 0},
        {"access denied", true, denied, -1, 0},
        {"handle with a code", true, handleWithCode, -1, 1},
        {"no handle and no code", true, noCode, -1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeWin32 fake;
        if (c.exists) fake.files[imageName] = c.file;
        EXPECT_EQ(deviceSize(imageName), c.expected);
        ASSERT_EQ(fake.opens.size(), 1u);
        EXPECT_EQ(fake.opens[0].access, DWORD(GENERIC_READ));
        EXPECT_EQ(fake.opens[0].share, DWORD(FILE_SHARE_READ));
        EXPECT_EQ(fake.opens[0].disposition, DWORD(OPEN_EXISTING));
        EXPECT_EQ(fake.opens[0].flags, 0u);
        EXPECT_TRUE(fake.opens[0].plain);
        EXPECT_EQ(fake.nextHandle - 0x100, uintptr_t(c.expectedCloses));
        EXPECT_TRUE(fake.openHandles.empty());
        EXPECT_EQ(fake.badCloses, 0);
        EXPECT_EQ(fake.badRecords, 0);
    }
}

}  // namespace
