// The disk list against the fake Windows (enumeration, errors 1 to 7, the set that cannot
// be made), the -l listing, the resolution of disk numbers and the short device names.
#include <gtest/gtest.h>

#include <queue>
#include <sstream>
#include <string>
#include <vector>

#include "tests/windows/fake_win32.h"
#include "windows/disk_list.h"

namespace {

std::wstring interfacePath(int n)
{
    return L"\\\\?\\scsi#disk&ven_vantrel&prod_test#4&2a1b&0&00000" + std::to_wstring(n) +
           L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

// Adds one disk interface to the enumeration; `number` empty: the disk gives no number.
void addInterface(FakeWin32 &fake, int n, std::optional<DWORD> number, DWORD openError = 0)
{
    fake.interfaces.push_back(interfacePath(n));
    FakeFile &file = fake.files[interfacePath(n)];
    file.deviceNumber = number;
    file.openError = openError;
}

// Runs listDisks on the fake and checks what every road must leave: the set destroyed once,
// no handle open, no record with a wrong size and the query-only opens.
std::optional<DiskMap> list(FakeWin32 &fake, std::wstring &errors)
{
    std::wostringstream out;
    std::optional<DiskMap> disks = listDisks(out);
    errors = out.str();
    EXPECT_EQ(fake.setsDestroyed, disks ? 1 : 0);
    EXPECT_TRUE(fake.openHandles.empty());
    EXPECT_EQ(fake.badCloses, 0);
    EXPECT_EQ(fake.badRecords, 0);
    for (const OpenCall &call : fake.opens) {
        EXPECT_EQ(call.access, 0u);
        EXPECT_EQ(call.share, DWORD(FILE_SHARE_READ));
        EXPECT_EQ(call.disposition, DWORD(OPEN_EXISTING));
        EXPECT_EQ(call.flags, 0u);
        EXPECT_TRUE(call.plain);
    }
    return disks;
}

TEST(ListDisksTest, MapsEachDiskNumberToItsInterfacePath)
{
    const struct {
        const char *what;
        std::vector<std::optional<DWORD>> numbers;  // per interface, in enumeration order
        DiskMap expected;
    } cases[] = {
        {"no disks", {}, {}},
        {"one disk", {0}, {{0, interfacePath(0)}}},
        {"several, in number order", {2, 0, 1}, {{0, interfacePath(1)}, {1, interfacePath(2)}, {2, interfacePath(0)}}},
        {"duplicate number: the first keeps it", {3, 1, 3}, {{1, interfacePath(1)}, {3, interfacePath(0)}}},
        {"a disk without a number is left out", {0, std::nullopt, 2}, {{0, interfacePath(0)}, {2, interfacePath(2)}}},
        {"number as signed 32 bits", {0x80000001u}, {{int32_t(0x80000001u), interfacePath(0)}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeWin32 fake;
        for (size_t i = 0; i < c.numbers.size(); ++i) addInterface(fake, int(i), c.numbers[i]);
        std::wstring errors;
        const std::optional<DiskMap> disks = list(fake, errors);
        ASSERT_TRUE(disks);
        EXPECT_EQ(*disks, c.expected);
        EXPECT_EQ(errors, L"");
        EXPECT_EQ(fake.opens.size(), c.numbers.size());
    }
}

TEST(ListDisksTest, ADiskThatCannotBeOpenedIsLeftOutAndTheRestListed)
{
    FakeWin32 fake;
    addInterface(fake, 0, 4, ERROR_ACCESS_DENIED);
    addInterface(fake, 1, 5);
    fake.interfaces.push_back(interfacePath(2));  // no such name to open
    addInterface(fake, 3, 6);
    std::wstring errors;
    const std::optional<DiskMap> disks = list(fake, errors);
    ASSERT_TRUE(disks);
    EXPECT_EQ(*disks, (DiskMap{{5, interfacePath(1)}, {6, interfacePath(3)}}));
    EXPECT_EQ(errors, L"");
}

TEST(ListDisksTest, AFailingStepReportsItsNumberAndKeepsTheDisksBefore)
{
    const DWORD other = ERROR_GEN_FAILURE;
    const struct {
        EnumFault fault;  // on the second device (index 1) unless said otherwise
        int error;
    } cases[] = {
        {{EnumStep::DeviceInfo, 1, FALSE, other}, 1},
        {{EnumStep::Interface, 1, FALSE, other}, 2},
        {{EnumStep::Property, 1, FALSE, other}, 3},
        {{EnumStep::PropertySize, 1, FALSE, other}, 4},
        {{EnumStep::PropertySize, 1, TRUE, 0}, 5},
        {{EnumStep::DetailSize, 1, FALSE, other}, 6},
        {{EnumStep::Detail, 1, FALSE, other}, 6},
        {{EnumStep::DetailSize, 1, TRUE, 0}, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        FakeWin32 fake;
        for (int i = 0; i < 3; ++i) addInterface(fake, i, DWORD(10 + i));
        fake.faults.push_back(c.fault);
        std::wstring errors;
        const std::optional<DiskMap> disks = list(fake, errors);
        ASSERT_TRUE(disks);
        EXPECT_EQ(*disks, (DiskMap{{10, interfacePath(0)}}));
        EXPECT_EQ(errors, L"Could net list disks " + std::to_wstring(c.error) + L"\n");
    }
}

TEST(ListDisksTest, AFailingFirstDeviceGivesAnEmptyMap)
{
    for (const EnumStep step : {EnumStep::DeviceInfo, EnumStep::Interface}) {
        FakeWin32 fake;
        addInterface(fake, 0, 0);
        fake.faults.push_back({step, 0, FALSE, ERROR_GEN_FAILURE});
        std::wstring errors;
        const std::optional<DiskMap> disks = list(fake, errors);
        ASSERT_TRUE(disks);
        EXPECT_TRUE(disks->empty());
        EXPECT_EQ(errors, step == EnumStep::DeviceInfo ? L"Could net list disks 1\n" : L"Could net list disks 2\n");
    }
}

TEST(ListDisksTest, NoMoreItemsFromEitherEnumerationEndsNormally)
{
    for (const EnumStep step : {EnumStep::DeviceInfo, EnumStep::Interface}) {
        FakeWin32 fake;
        for (int i = 0; i < 3; ++i) addInterface(fake, i, DWORD(i));
        fake.faults.push_back({step, 2, FALSE, ERROR_NO_MORE_ITEMS});
        std::wstring errors;
        const std::optional<DiskMap> disks = list(fake, errors);
        ASSERT_TRUE(disks);
        EXPECT_EQ(*disks, (DiskMap{{0, interfacePath(0)}, {1, interfacePath(1)}}));
        EXPECT_EQ(errors, L"");
    }
}

TEST(ListDisksTest, ASetThatCannotBeMadeGivesNoMap)
{
    FakeWin32 fake;
    addInterface(fake, 0, 0);
    fake.classDevsFails = true;
    std::wstring errors;
    EXPECT_FALSE(list(fake, errors));
    EXPECT_EQ(errors, L"Could net list disks\n");
    EXPECT_TRUE(fake.opens.empty());
}

// A wide string buffer that counts flushes.
class CountingBuffer : public std::wstringbuf {
public:
    int flushes = 0;

protected:
    int sync() override
    {
        ++flushes;
        return std::wstringbuf::sync();
    }
};

TEST(DiskListingTest, OneFlushedLinePerDiskInNumberOrder)
{
    CountingBuffer buffer;
    std::wostream out(&buffer);
    printDiskList({{7, L"\\\\?\\b#c#d"}, {-3, L"x"}, {12, L"y z"}}, out);
    EXPECT_EQ(buffer.str(), L"Drive number [-3]\tx\nDrive number [7]\t\\\\?\\b#c#d\nDrive number [12]\ty z\n");
    EXPECT_EQ(buffer.flushes, 3);

    CountingBuffer empty;
    std::wostream none(&empty);
    printDiskList({}, none);
    EXPECT_EQ(empty.str(), L"");
}

struct Entry {
    char kind;
    int32_t number;
    std::wstring text;
};

bool operator==(const Entry &a, const Entry &b)
{
    return a.kind == b.kind && a.number == b.number && a.text == b.text;
}

std::vector<Entry> drain(std::queue<Entry> entries)
{
    std::vector<Entry> all;
    for (; !entries.empty(); entries.pop()) all.push_back(entries.front());
    return all;
}

TEST(BatchDiskResolutionTest, KnownNumbersBecomePathsAndMissingOnesAreReportedAndDropped)
{
    const DiskMap disks = {{1, L"\\\\?\\disk-one"}};
    const struct {
        const char *what;
        std::vector<Entry> entries;
        std::vector<Entry> expected;
        std::vector<std::string> logged;
    } cases[] = {
        {"number, path, missing number",
         {{'N', 1, L"1"}, {'D', -1, L"Z:\\a.img"}, {'N', 7, L"7"}},
         {{'N', 1, L"\\\\?\\disk-one"}, {'D', -1, L"Z:\\a.img"}},
         {"Drive number (7) not found"}},
        {"every number missing", {{'N', 3, L"3"}, {'N', 0, L"0"}}, {}, {"Drive number (3) not found", "Drive number (0) not found"}},
        {"paths only", {{'D', -1, L"Z:\\b.img"}}, {{'D', -1, L"Z:\\b.img"}}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::queue<Entry> entries;
        for (const Entry &e : c.entries) entries.push(e);
        std::vector<std::string> logged;
        std::ostringstream console;
        const bool left = resolveBatchDisks(entries, disks, [&](const std::string &text) { logged.push_back(text); },
                                            console);
        EXPECT_EQ(left, !c.expected.empty());
        EXPECT_EQ(drain(entries), c.expected);
        EXPECT_EQ(logged, c.logged);
        std::string lines;
        for (const std::string &text : c.logged) lines += text + "\n";
        EXPECT_EQ(console.str(), lines);
    }
}

TEST(DiskNumberResolutionTest, AKnownNumberReplacesTheDeviceOnlyWithoutABatchFile)
{
    const DiskMap disks = {{0, L"disk-zero"}, {1, L"disk-one"}};
    const struct {
        int32_t number;
        bool batch;
        const DiskMap *map;
        bool expectedFound;
        std::wstring expectedPath;
    } cases[] = {
        {-1, false, &disks, true, L"Z:\\given.img"},
        {1, false, &disks, true, L"disk-one"},
        {0, false, &disks, true, L"disk-zero"},
        {1, true, &disks, true, L"Z:\\given.img"},
        {7, false, &disks, false, L"Z:\\given.img"},
        {7, true, &disks, false, L"Z:\\given.img"},
        {-2, false, &disks, false, L"Z:\\given.img"},
    };
    const DiskMap none;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        std::wstring path = L"Z:\\given.img";
        std::vector<std::string> logged;
        std::ostringstream console;
        EXPECT_EQ(resolveDiskNumber(c.number, c.batch, *c.map, path,
                                    [&](const std::string &text) { logged.push_back(text); }, console),
                  c.expectedFound);
        EXPECT_EQ(path, c.expectedPath);
        EXPECT_EQ(console.str(), c.expectedFound ? "" : "Drive number not found\n");
        EXPECT_EQ(logged, c.expectedFound ? std::vector<std::string>{} : std::vector<std::string>{"Drive number not found"});
    }
    std::wstring path;
    std::ostringstream console;
    EXPECT_FALSE(resolveDiskNumber(0, false, none, path, [](const std::string &) {}, console));
    EXPECT_TRUE(resolveDiskNumber(-1, false, none, path, [](const std::string &) {}, console));
}

TEST(DisplayNameTest, ThirdHashPieceOrTheWholePath)
{
    const struct {
        std::wstring path, expected;
    } cases[] = {
        {L"Z:\\images\\disk.img", L"Z:\\images\\disk.img"},
        {L"a#b", L"a#b"},
        {L"a##b", L"b"},
        {L"a#b#", L""},
        {L"a#b#c#d#e", L"c"},
        {L"", L""},
        {interfacePath(3), L"4&2a1b&0&000003"},
    };
    for (const auto &c : cases) EXPECT_EQ(displayName(c.path), c.expected) << std::string(c.path.begin(), c.path.end());
}

TEST(NarrowNameTest, KeepsTheLowEightBitsOfEachCharacter)
{
    EXPECT_EQ(narrowName(L"disk-1"), "disk-1");
    EXPECT_EQ(narrowName(std::wstring{L'A', wchar_t(0xE9), wchar_t(0x141), wchar_t(0x20AC), wchar_t(0x100)}),
              std::string("A\xE9\x41\xAC", 4) + '\0');
    EXPECT_EQ(narrowName(L""), "");
}

}  // namespace
