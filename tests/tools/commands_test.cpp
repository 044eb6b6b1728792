// The program's commands: job parsing, the refusals of a bad configuration,
// an unknown camera and a missing backup directory, and the demo from start
// to finish twice on a temporary folder (the second run finds nothing to move,
// the listing counts no repeat), and the inventory's repeats and counts.
#include "Commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../recordlib/RecordTestSupport.h"
#include "RecordInventory.h"

namespace fs = std::filesystem;

namespace {

class CommandsTest : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(m_tmp.sub(name)) << text;
        return m_tmp.sub(name);
    }

    rectest::TempDir m_tmp;
    const std::string m_root = m_tmp.path();
};

TEST_F(CommandsTest, JobSpecs) {
    JobSpec job;
    std::string error;
    ASSERT_TRUE(parseJobSpec("nvr-7:3", job, error));
    EXPECT_EQ("nvr-7", job.deviceId);
    EXPECT_EQ(3, job.cameraId);
    EXPECT_EQ("", job.deviceIP);
    ASSERT_TRUE(parseJobSpec("nvr-7:3:fe80::1", job, error));  // the IP keeps its colons
    EXPECT_EQ("fe80::1", job.deviceIP);
    EXPECT_FALSE(parseJobSpec("nvr-7", job, error));
    EXPECT_FALSE(parseJobSpec(":3", job, error));
    EXPECT_FALSE(parseJobSpec("nvr-7:0", job, error));
    EXPECT_FALSE(parseJobSpec("nvr-7:x", job, error));
    EXPECT_NE(std::string::npos, error.find("nvr-7:x"));
}

TEST_F(CommandsTest, BadConfigurationsAreRefused) {
    RecorderConfig config;
    std::string error;
    EXPECT_FALSE(loadConfiguration(m_root + "/none.json", config, error));
    EXPECT_NE(std::string::npos, error.find("does not exist"));
    EXPECT_FALSE(loadConfiguration(write("bad.json", "{ not json"), config, error));
    EXPECT_NE(std::string::npos, error.find("bad.json"));

    fs::create_directories(m_root + "/rec");
    const std::string text = "{\"recordDirs\":[{\"root\":\"" + m_root +
                             "/rec\",\"attribute\":4}],\"policies\":[{\"deviceId\":\"d\","
                             "\"cameraId\":1,\"groupId\":1}],\"backupDirs\":[{\"root\":\"" +
                             m_root + "/backup\"}]}";
    const std::string path = write("rec.json", text);
    EXPECT_FALSE(loadConfiguration(path, config, error));
    EXPECT_EQ("backup directory " + m_root + "/backup does not exist", error);

    fs::create_directories(m_root + "/backup");
    EXPECT_FALSE(loadConfiguration(path, config, error));
    EXPECT_EQ(m_root +
                  "/backup is not a prepared backup disk; prepare it with: nvr-backup "
                  "prepare-disk " +
                  m_root + "/backup",
              error);
    ASSERT_EQ(0, prepareDiskCommand(PrepareDiskOptions{m_root + "/backup"}));
    ASSERT_TRUE(loadConfiguration(path, config, error)) << error;
    EXPECT_TRUE(hasPolicy(config, "d", 1));
    EXPECT_FALSE(hasPolicy(config, "d", 2));
    EXPECT_FALSE(hasPolicy(config, "D", 1));

    RunOptions run;
    run.configPath = path;
    run.jobs = {"d:2"};
    EXPECT_EQ(2, runCommand(run));  // unknown camera
    run.configPath = m_root + "/none.json";
    EXPECT_EQ(2, runCommand(run));
}

TEST_F(CommandsTest, DemoMovesEverythingThenFindsNothingLeft) {
    DemoOptions demo;
    demo.dir = m_root + "/demo";
    demo.speed = 0;
    demo.minutes = 0.5;
    EXPECT_EQ(0, demoCommand(demo));
    EXPECT_TRUE(fs::exists(demo.dir + "/recorder.json"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, demoCommand(demo));
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, output.find("Nothing left to move")) << output;

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, listCommand(ListOptions{demo.dir + "/recorder.json", false}));
    output = testing::internal::GetCapturedStdout();
    EXPECT_THAT(output, testing::ContainsRegex("demo-nvr:1  [1-9][0-9,]* nodes, 0 repeats"));
    EXPECT_THAT(output, testing::ContainsRegex("demo-nvr:2  [1-9][0-9,]* nodes, 0 repeats"));
}

TEST(RecordInventoryTest, RepeatsAndCounts) {
    using RecordInventory::Node;
    struct Case {
        std::vector<Node> nodes;
        std::vector<Node> once;  // the first of every time and length, in place
    };
    const Case cases[] = {
        {{}, {}},
        {{{1000, 10}, {1500, 10}}, {{1000, 10}, {1500, 10}}},
        {{{1000, 10}, {1500, 10}, {1000, 10}, {1500, 10}, {2000, 10}},
         {{1000, 10}, {1500, 10}, {2000, 10}}},
        {{{1000, 10}, {1000, 11}, {1000, 10}}, {{1000, 10}, {1000, 11}}},  // length tells apart
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.once, RecordInventory::withoutRepeats(c.nodes));
        EXPECT_EQ(static_cast<int>(c.nodes.size() - c.once.size()),
                  RecordInventory::repeats(c.nodes));
    }
    const std::pair<long long, const char*> counts[] = {
        {0, "0"}, {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}, {-1234, "-1,234"}};
    for (const auto& c : counts) EXPECT_EQ(c.second, RecordInventory::formatCount(c.first));
}

}  // namespace
