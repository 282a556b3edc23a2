// One device under several names: batch entries dropped by the identity of what they reach,
// and the identities of Linux files (links, other spellings, what cannot be opened).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "frontend/batch_file.h"
#include "frontend/device_reader.h"

namespace {

std::string duplicate(int line, const std::string &text)
{
    return "batch file duplicate entry error: (line " + std::to_string(line) + ") \"" + text +
           "\" is already listed";
}

// The first entry of each identity stays; a later one is dropped with the warning of its own
// line (as read); a name without identity stays, and every name is looked up once, in order.
TEST(DropSameDevices, KeepsTheFirstNameOfEachDevice)
{
    std::istringstream file(
        "/a/img\n"
        "# comment\n"
        "  /a/link   # the same image\n"
        "/a/missing\n"
        "[7]\n"
        "/b/other\n"
        "/b/../a/img\n"
        "/a/missing-too\n");
    std::vector<BatchWarning> warnings;
    std::queue<ListedEntry> entries = parseBatchLines(file, &warnings);
    ASSERT_TRUE(warnings.empty());

    const DeviceIdentity image{DeviceIdentity::File, 1, 10};
    const std::map<std::string, DeviceIdentity> known = {
        {"/a/img", image}, {"/a/link", image}, {"/b/../a/img", image},
        {"/b/other", {DeviceIdentity::File, 2, 10}},  // another file system, same number
        {"7", {DeviceIdentity::Device, 10, 0}},       // a device numbered like the image's inode
    };
    std::vector<std::string> asked;
    const IdentityOf identityOf = [&](const std::string &name) -> std::optional<DeviceIdentity> {
        asked.push_back(name);
        const auto found = known.find(name);
        if (found == known.end()) return std::nullopt;
        return found->second;
    };
    dropSameDevices(entries, identityOf, &warnings);

    EXPECT_EQ(asked, (std::vector<std::string>{"/a/img", "/a/link", "/a/missing", "7", "/b/other",
                                               "/b/../a/img", "/a/missing-too"}));
    std::vector<std::string> kept;
    for (; !entries.empty(); entries.pop()) kept.push_back(entries.front().text);
    EXPECT_EQ(kept, (std::vector<std::string>{"/a/img", "/a/missing", "7", "/b/other", "/a/missing-too"}));
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].text, duplicate(3, "  /a/link   # the same image"));
    EXPECT_EQ(warnings[1].text, duplicate(7, "/b/../a/img"));
    for (const BatchWarning &warning : warnings) {
        EXPECT_EQ(warning.level, 2);
        EXPECT_TRUE(warning.timestamped);
    }
}

// A file shown from its start over the same number of bytes is the same data, whichever name
// shows it (the file itself by its size, a loop device by its own size, whatever its limit);
// any other number of bytes is another part of it. A device is known by its number alone.
TEST(ReadSameData, FilesByTheBytesEachNameShows)
{
    const auto file = [](uint64_t volume, uint64_t index, uint64_t shownBytes) {
        DeviceIdentity identity{DeviceIdentity::File, volume, index};
        identity.shownBytes = shownBytes;
        return identity;
    };
    const uint64_t size = 16 << 20;
    const DeviceIdentity image = file(1, 10, size);
    const struct {
        DeviceIdentity a, b;
        bool same;
    } cases[] = {
        {image, file(1, 10, size), true},          // another name, or a loop device showing all
        {image, file(1, 10, size - 512), false},   // a loop device whose limit cuts the file short
        {file(1, 10, size - 512), file(1, 10, size - 512), true},  // two loops, one part
        {image, file(1, 11, size), false},
        {image, file(2, 10, size), false},
        {{DeviceIdentity::Device, 7, 0}, {DeviceIdentity::Device, 7, 0}, true},
        {{DeviceIdentity::Device, 7, 0}, {DeviceIdentity::Device, 8, 0}, false},
        {{DeviceIdentity::Device, 1, 10}, file(1, 10, 0), false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(readSameData(c.a, c.b), c.same) << c.a.index << " showing " << c.a.shownBytes << " / "
                                                  << c.b.index << " showing " << c.b.shownBytes;
        EXPECT_EQ(readSameData(c.b, c.a), c.same);
    }
}

class DeviceIdentityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vantrel_identity_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ + "/img") << "data";
        std::ofstream(dir_ + "/other") << "data";
        ASSERT_EQ(link((dir_ + "/img").c_str(), (dir_ + "/hard").c_str()), 0);
        ASSERT_EQ(symlink("img", (dir_ + "/soft").c_str()), 0);
        ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    }
    void TearDown() override
    {
        for (const char *name : {"img", "other", "hard", "soft", "fifo"}) std::remove((dir_ + "/" + name).c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
};

TEST_F(DeviceIdentityTest, NamesOfOneFileShareItsIdentity)
{
    const std::optional<DeviceIdentity> image = deviceIdentity(dir_ + "/img");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->kind, DeviceIdentity::File);
    EXPECT_EQ(image->shownBytes, 4u);  // the file shows its whole size
    for (const std::string &name : {dir_ + "/hard", dir_ + "/soft", dir_ + "/./img", "/" + dir_ + "/img"}) {
        EXPECT_EQ(deviceIdentity(name), image) << name;
    }
    EXPECT_NE(deviceIdentity(dir_ + "/other"), image);
    // What cannot be opened for sampling has no identity: the batch compares its text only.
    for (const std::string &name : {dir_ + "/missing", dir_, dir_ + "/fifo"}) {
        EXPECT_FALSE(deviceIdentity(name)) << name;
    }
}

}  // namespace
