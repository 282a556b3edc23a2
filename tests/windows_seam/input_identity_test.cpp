// One device under several names on Windows, against the fake Windows: what a name reaches (a
// file's volume and index, a disk's number), and a batch whose path and disk number name one
// disk sampled once.
#include <gtest/gtest.h>

#include <queue>
#include <string>

#include "frontend/batch_file.h"
#include "frontend/log.h"
#include "frontend/platform.h"
#include "frontend/records.h"
#include "tests/windows/fake_win32.h"
#include "tests/windows_seam/listed_entry.h"

namespace {

const std::wstring diskOne = L"\\\\?\\scsi#disk&ven_vantrel#4&2a1b&0&000001#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

FakeFile fileWithIndex(DWORD volumeSerial, uint64_t index)
{
    FakeFile file;
    file.fileIndex = index;
    file.volumeSerial = volumeSerial;
    return file;
}

FakeFile diskNumbered(DWORD number)
{
    FakeFile disk;
    disk.diskSize = 1 << 20;
    disk.deviceNumber = number;
    return disk;
}

TEST(InputIdentityTest, NamesOfOneFileOrDiskShareAnIdentity)
{
    FakeWin32 fake;
    fake.files[L"Z:\\img"] = fileWithIndex(7, 0x100000002ull);
    fake.files[L"Z:\\hard"] = fileWithIndex(7, 0x100000002ull);
    fake.files[L"Y:\\img"] = fileWithIndex(8, 0x100000002ull);  // another volume, same index
    fake.files[L"Z:\\other"] = fileWithIndex(7, 0x2ull);        // only the high index differs
    fake.files[diskOne] = diskNumbered(1);
    fake.files[L"\\\\.\\PhysicalDrive1"] = diskNumbered(1);
    fake.files[L"\\\\.\\PhysicalDrive2"] = diskNumbered(2);
    fake.files[L"Z:\\locked"].openError = ERROR_SHARING_VIOLATION;

    const auto image = identifyDevice("Z:\\img");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->kind, DeviceIdentity::File);
    EXPECT_EQ(identifyDevice("Z:\\hard"), image);
    EXPECT_NE(identifyDevice("Y:\\img"), image);
    EXPECT_NE(identifyDevice("Z:\\other"), image);

    const auto disk = identifyDevice("\\\\.\\PhysicalDrive1");
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->kind, DeviceIdentity::Device);
    std::string diskPath;
    for (wchar_t c : diskOne) diskPath += char(c);
    EXPECT_EQ(identifyDevice(diskPath), disk);
    EXPECT_NE(identifyDevice("\\\\.\\PhysicalDrive2"), disk);

    EXPECT_FALSE(identifyDevice("Z:\\locked"));
    EXPECT_FALSE(identifyDevice("Z:\\missing"));
    EXPECT_TRUE(fake.openHandles.empty());
    EXPECT_EQ(fake.badRecords, 0);
    for (const OpenCall &call : fake.opens) EXPECT_EQ(call.access, 0u);  // queries only
}

// [1] resolves to disk 1's interface path; \\.\PhysicalDrive1 is the same disk and is dropped
// with the duplicate warning of its line; \\.\PhysicalDrive2 is another disk and stays.
TEST(InputIdentityTest, BatchPathAndDiskNumberOfOneDiskCountOnce)
{
    FakeWin32 fake;
    fake.interfaces.push_back(diskOne);
    fake.files[diskOne] = diskNumbered(1);
    fake.files[L"\\\\.\\PhysicalDrive1"] = diskNumbered(1);
    fake.files[L"\\\\.\\PhysicalDrive2"] = diskNumbered(2);

    std::queue<ListedEntry> batch;
    batch.push(listedEntry('N', 1, "1", 1, "[1]"));
    batch.push(listedEntry('D', -1, "\\\\.\\PhysicalDrive1", 2, "  \\\\.\\PhysicalDrive1 # again"));
    batch.push(listedEntry('D', -1, "\\\\.\\PhysicalDrive2", 3, "\\\\.\\PhysicalDrive2"));

    logQueue.setLimit(2);
    Calculations record(0, 0, 0);
    record.logLevel = 2;
    platformBeforeDevices(true, batch);
    dropBatchDuplicates(batch, &record);

    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch.front().kind, 'N');
    EXPECT_EQ(batch.front().text.substr(0, 4), "\\\\?\\");
    batch.pop();
    EXPECT_EQ(batch.front().text, "\\\\.\\PhysicalDrive2");

    std::vector<std::string> lines;
    while (auto line = logQueue.tryPop()) lines.push_back(*line);
    logQueue.setLimit(0);
    ASSERT_EQ(lines.size(), 1u);
    const size_t stamp = timestampText().size();
    EXPECT_EQ(lines[0].substr(stamp),
              " batch file duplicate entry error: (line 2) \"  \\\\.\\PhysicalDrive1 # again\" is already listed");
    EXPECT_TRUE(fake.openHandles.empty());
}

}  // namespace
