// Start-up conversions: storage kind and version to engine type and block size, the number
// list of --adjustCR, the -s word and the usage text.
#include <gtest/gtest.h>

#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>
#include <string>
#include <vector>

#include "frontend/options.h"
#include "frontend/records.h"
#include "frontend/settings.h"

namespace {

TEST(OptionsTest, VersionTextReducesToEngineType)
{
    const struct {
        const char *text;
        int engineType;
    } cases[] = {
        {"7.3", 73}, {"73", 73}, {"7.3.", 73}, {".73", 73}, {"73abc", 73}, {"6.4", 64},
        {"7.1", 71}, {"7.2", 72}, {"8.0", -1}, {"6", -1}, {"", -1}, {"abc", -1}, {"7..4", -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(vrtEngineType(c.text, true), c.engineType) << c.text;
    }
    EXPECT_EQ(vrtEngineType("", false), 73);
    EXPECT_EQ(reduceVersion("12x3"), 12);
}

TEST(OptionsTest, BlockSizeFollowsEngineType)
{
    EXPECT_EQ(blockSizeFor(73, 65536, false, 12), 65536);
    EXPECT_EQ(blockSizeFor(73, 131072, true, 12), 131072);
    EXPECT_EQ(blockSizeFor(64, 65536, false, 12), 262144);
    EXPECT_EQ(blockSizeFor(64, 65536, true, 12), 65536);
    EXPECT_EQ(blockSizeFor(400, 65536, false, 12), 3145728);
    EXPECT_EQ(blockSizeFor(400, 4096, true, 16), 4194304);
}

TEST(OptionsTest, NumberListKeepsNumbersUpToTheFirstBadToken)
{
    std::vector<double> numbers;
    EXPECT_EQ(parseNumberList("1,,2 3", &numbers), nullptr);
    EXPECT_EQ(numbers, (std::vector<double>{1, 2, 3}));

    numbers.clear();
    EXPECT_EQ(parseNumberList("", &numbers), nullptr);
    EXPECT_TRUE(numbers.empty());

    numbers.clear();
    EXPECT_EQ(parseNumberList(" ,1e-3,-0.5, ", &numbers), nullptr);
    EXPECT_EQ(numbers, (std::vector<double>{1e-3, -0.5}));

    numbers.clear();
    testing::internal::CaptureStderr();
    auto error = parseNumberList("0.5,1;2,7", &numbers);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot convert to number : 1;2\n");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(*error, "Cannot convert to number :1;2");
    EXPECT_EQ(numbers, std::vector<double>{0.5});
}

TEST(OptionsTest, StorageWordMustBeExactlyVrtOrKsm)
{
    EXPECT_EQ(boost::lexical_cast<StorageType>("VRT"), STORAGE_VRT);
    EXPECT_EQ(boost::lexical_cast<StorageType>("KSM"), STORAGE_KSM);
    for (const char *word : {"vrt", " VRT", "VRT ", "KSM2", ""}) {
        EXPECT_ANY_THROW(boost::lexical_cast<StorageType>(std::string(word))) << "'" << word << "'";
    }
}

TEST(OptionsTest, UsageTextAlignsDescriptionsInColumn22)
{
    const std::string text = usageText(false);
    EXPECT_EQ(text.rfind("Orvane Tessaline 6170 Vantrel version : 1.0.1 (Build w014)\nUsage :\n", 0), 0u);
    EXPECT_NE(text.find("\n-p number            Number of threads (default 10)\n"), std::string::npos);
    EXPECT_NE(text.find("\n-d device name       Path of device to analyze (e.g.: /dev/sdb)\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n--config=file        Configuration file that contains list of devices to analyze\n"),
              std::string::npos);
    EXPECT_NE(usageText(true).find("(e.g.: /vmfs/devices/disks/mpx.vmhba1:C0:T0:LX)\n"), std::string::npos);
}

// The whole start-up on accepted command lines; logging off so that no file is touched.
class StartUpTest : public testing::Test {
protected:
    void TearDown() override
    {
        delete totalCalculations;
        totalCalculations = nullptr;
        settings = RunSettings();
    }

    bool run(std::vector<std::string> args)
    {
        settings = RunSettings();
        args.insert(args.begin(), "vantrel");
        args.push_back("--logfile");
        args.push_back("");
        std::vector<char *> argv;
        for (auto &arg : args) argv.push_back(arg.data());
        return startUp(int(argv.size()), argv.data());
    }
};

TEST_F(StartUpTest, AppliesDefaultsAndConversions)
{
    ASSERT_TRUE(run({"-s", "VRT", "-d", "/dev/sdb"}));
    EXPECT_EQ(settings.engineType, 73u);
    EXPECT_EQ(settings.inblockSize, 65536);
    EXPECT_EQ(settings.threadCount, 10);
    EXPECT_EQ(settings.maxNumSamples, 3400u);
    EXPECT_EQ(settings.ioErrorFraction, 0.01);
    EXPECT_EQ(settings.loglevel, -1);  // logging off
    EXPECT_EQ(settings.adjustTable,
              (std::vector<double>{0, 0.066, 0, 0.066, 0.27, 0.05, 0.27, 0.35, 0.015, 0.35, 0.6, 0, 0.6, 1, 0.005}));
    ASSERT_NE(totalCalculations, nullptr);
    EXPECT_EQ(totalCalculations->logLevel, -1);

    const struct {
        std::vector<std::string> args;
        uint32_t engineType;
        int32_t blockSize;
    } cases[] = {
        {{"-s", "VRT", "--storageVer", "6.4"}, 64, 262144},
        {{"-s", "VRT", "--storageVer=6.4", "-g", "65536"}, 64, 65536},
        {{"-s", "VRT", "--storageVer", "7.1", "-g131072"}, 71, 131072},
        {{"-s", "VRT", "-g", "33554432"}, 73, 33554432},  // the largest: a sample spans two blocks
        {{"-s", "KSM", "-g", "67108864"}, 400, 3145728},
        {{"--storageSys=VRT", "--storageVer", "72"}, 72, 65536},
        {{"-s", "KSM"}, 400, 3145728},
        {{"-s", "KSM", "-g", "4096", "--stripewidth", "16", "--storageVer", "9.9"}, 400, 4194304},
        {{"-s", "KSM", "--stripewidth", "5"}, 400, 1310720},
    };
    for (const auto &c : cases) {
        TearDown();
        ASSERT_TRUE(run(c.args)) << c.args[1];
        EXPECT_EQ(settings.engineType, c.engineType) << c.args.size();
        EXPECT_EQ(settings.inblockSize, c.blockSize) << c.args.size();
    }
}

TEST_F(StartUpTest, SwitchesAndAbbreviatedLongNames)
{
    ASSERT_TRUE(run({"-s", "VRT", "-I", "-e", "-v", "-P", "--allowNeg", "-p", "1", "--qa", "99",
                     "-t", "100", "--adjustCR", "1,,2 3"}));
    EXPECT_EQ(settings.ioErrorFraction, 0.05);
    EXPECT_TRUE(settings.exhaustive);
    EXPECT_TRUE(settings.verbose);
    EXPECT_TRUE(settings.paragraphFormat);
    EXPECT_TRUE(settings.allowNegativeComp);
    EXPECT_EQ(settings.threadCount, 1);
    EXPECT_EQ(settings.qa, 99u);
    EXPECT_EQ(settings.maxNumSamples, 100u);
    EXPECT_EQ(settings.adjustTable, (std::vector<double>{1, 2, 3}));
}

TEST_F(StartUpTest, HelpOrNoArgumentsShowsUsage)
{
    testing::internal::CaptureStdout();
    EXPECT_FALSE(run({"-h", "-s", "VRT"}));
    std::vector<char *> argv{const_cast<char *>("vantrel")};
    EXPECT_FALSE(startUp(1, argv.data()));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, usageText(false) + "\n" + usageText(false) + "\n");
}

} // namespace
