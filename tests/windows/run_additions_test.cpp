// The elevation check and the console enlargement against the fake Windows.
#include <gtest/gtest.h>

#include "tests/windows/fake_win32.h"
#include "windows/run_additions.h"

namespace {

TEST(AdministratorCheckTest, OldWindowsPassesAndNewerNeedsAnElevatedToken)
{
    const struct {
        const char *what;
        DWORD major;
        bool versionFails, openFails, queryFails, elevated;
        bool expectedPass, expectedTokenOpened;
    } cases[] = {
        {"Windows 5, not elevated", 5, false, false, false, false, true, false},
        {"Windows 6, elevated", 6, false, false, false, true, true, true},
        {"Windows 10, elevated", 10, false, false, false, true, true, true},
        {"Windows 6, not elevated", 6, false, false, false, false, false, true},
        {"token cannot be opened", 10, false, true, false, true, false, false},
        {"elevation cannot be queried", 10, false, false, true, true, false, true},
        {"version unknown, elevated", 0, true, false, false, true, true, true},
        {"version unknown, not elevated", 0, true, false, false, false, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeWin32 fake;
        fake.majorVersion = c.major;
        fake.versionFails = c.versionFails;
        fake.openTokenFails = c.openFails;
        fake.tokenQueryFails = c.queryFails;
        fake.elevated = c.elevated;
        EXPECT_EQ(administratorCheckPasses(), c.expectedPass);
        EXPECT_EQ(fake.tokenOpened, c.expectedTokenOpened);
        EXPECT_TRUE(fake.openHandles.empty());
        EXPECT_EQ(fake.badCloses, 0);
        EXPECT_EQ(fake.badRecords, 0);
    }
}

TEST(MaximizeConsoleTest, SetsTheLargestWindowAndIgnoresFailures)
{
    {
        FakeWin32 fake;
        fake.maximumWindow = {237, 91};
        maximizeConsole();
        ASSERT_EQ(fake.windowsSet.size(), 1u);
        const SMALL_RECT &window = fake.windowsSet[0];
        EXPECT_EQ(window.Left, 0);
        EXPECT_EQ(window.Top, 0);
        EXPECT_EQ(window.Right, 236);
        EXPECT_EQ(window.Bottom, 90);
        EXPECT_EQ(fake.badRecords, 0);
    }
    {
        FakeWin32 fake;  // standard output is no console: no window is set
        fake.consoleQueryFails = true;
        maximizeConsole();
        EXPECT_TRUE(fake.windowsSet.empty());
    }
    {
        FakeWin32 fake;  // a refused window is not tried again
        fake.consoleSetFails = true;
        maximizeConsole();
        EXPECT_EQ(fake.windowsSet.size(), 1u);
    }
}

}  // namespace
