// The recorder configuration: every error names the file and the field, a
// saved configuration loads back, and the disk manager serves it.
#include <gtest/gtest.h>

#include <fstream>

#include "BasicTool.h"
#include "RecordTestSupport.h"
#include "RecorderConfig.h"

namespace {

using rectest::TempDir;

struct Case {
    const char* json;
    const char* error;
};

TEST(RecorderConfigTest, ErrorsNameTheFileAndTheField) {
    const Case cases[] = {
        {"{", "cfg.json: not valid JSON (byte 2)"},
        {"[]", "cfg.json: field \"(top level)\" not an object"},
        {R"({"policies": []})", "cfg.json: field \"recordDirs\" missing"},
        {R"({"recordDirs": {}, "policies": []})", "cfg.json: field \"recordDirs\" not an array"},
        {R"({"recordDirs": [{}], "policies": []})",
         "cfg.json: field \"recordDirs[0].root\" missing"},
        {R"({"recordDirs": [{"root": "/a"}, {"root": 5}], "policies": []})",
         "cfg.json: field \"recordDirs[1].root\" not a string"},
        {R"({"recordDirs": [{"root": "/a", "groupId": "1"}], "policies": []})",
         "cfg.json: field \"recordDirs[0].groupId\" not an integer"},
        {R"({"recordDirs": [{"root": "/a", "fileSegmentSize": 10}], "policies": []})",
         "cfg.json: field \"recordDirs[0].fileSegmentSize\" out of range [3008, 1099511627776]"},
        {R"({"recordDirs": [], "policies": [{"deviceId": "d"}]})",
         "cfg.json: field \"policies[0].groupId\" missing"},
        {R"({"recordDirs": [], "policies": [{"deviceId": "", "groupId": 1}]})",
         "cfg.json: field \"policies[0].deviceId\" empty"},
        {R"({"recordDirs": [], "policies": [], "backupDirs": [3]})",
         "cfg.json: field \"backupDirs[0]\" not an object"},
        {R"({"recordDirs": [], "policies": [], "backupReserveBytes": -1})",
         "cfg.json: field \"backupReserveBytes\" out of range [0, 1125899906842624]"},
    };
    for (const Case& c : cases) {
        RecorderConfig out;
        out.policies.push_back(DevicePolicyConfig{"kept", 1, 1});
        std::string error;
        EXPECT_EQ(kRecordBadConfig, RecorderConfig::loadText(c.json, "cfg.json", out, error))
            << c.json;
        EXPECT_EQ(c.error, error) << c.json;
        ASSERT_EQ(1u, out.policies.size()) << "a failed load leaves the output alone";
    }
    RecorderConfig out;
    std::string error;
    EXPECT_EQ(kRecordBadConfig, RecorderConfig::loadFile("/nonexistent/recorder.json", out, error));
    EXPECT_EQ("/nonexistent/recorder.json: cannot be read (not found)", error);
}

// Every field of the configuration, for comparing two of them at once.
std::string dump(const RecorderConfig& c) {
    std::string out;
    std::vector<RecordDirInfoEx> dirs = c.recordDirs;
    dirs.insert(dirs.end(), c.backupDirs.begin(), c.backupDirs.end());
    for (const RecordDirInfoEx& d : dirs) {
        out += d.getRecordRootDir() + " g" + std::to_string(d.getGroupId()) + " a" +
               std::to_string(d.getAttribute()) + " t" + std::to_string(d.getDiskType()) + " f" +
               std::to_string(d.getFileSystemFormat()) + " s" +
               std::to_string(d.getFileSegmentSize()) + "; ";
    }
    for (const DevicePolicyConfig& p : c.policies) {
        out +=
            p.deviceId + ":" + std::to_string(p.cameraId) + ":" + std::to_string(p.groupId) + " ";
    }
    return out + std::to_string(c.backupReserveBytes);
}

TEST(RecorderConfigTest, SavedConfigurationLoadsBackAndServesPolicies) {
    TempDir tmp;
    const std::string path = tmp.sub("recorder.json");
    std::ofstream(path) << R"({
      "recordDirs": [{"root": "/d1", "groupId": 2, "diskType": 2, "fileSystemFormat": 0},
                     {"root": "/d2"}],
      "policies": [{"deviceId": "dev", "groupId": 2},
                   {"deviceId": "dev", "cameraId": 3, "groupId": 7}],
      "backupDirs": [{"root": "/usb", "attribute": 4, "fileSegmentSize": 1048576}],
      "backupReserveBytes": 4096
    })";
    RecorderConfig c, again;
    std::string error;
    ASSERT_EQ(kRecordOk, RecorderConfig::loadFile(path, c, error)) << error;
    EXPECT_EQ(
        "/d1 g2 a4 t2 f0 s268435456; /d2 g1 a4 t1 f1 s268435456; /usb g1 a8 t1 f1 s1048576; "
        "dev:0:2 dev:3:7 4096",
        dump(c));
    ASSERT_EQ(kRecordOk, c.saveFile(tmp.sub("copy.json")));
    ASSERT_EQ(kRecordOk, RecorderConfig::loadFile(tmp.sub("copy.json"), again, error)) << error;
    EXPECT_EQ(dump(c), dump(again));

    rectest::ConfigScope scope(c);
    RecordDiskManagerImpl* m = Singlton<RecordDiskManagerImpl>::getInstance();
    std::vector<RecordDirInfoEx> dirs;
    EXPECT_EQ(kRecordOk, m->getRecordDirInfoList(dirs));
    ASSERT_EQ(3u, dirs.size());
    EXPECT_EQ("/usb", dirs[2].getRecordRootDir());
    EXPECT_EQ(RecordDirInfoEx::kAttributeBackup, dirs[2].getAttribute());

    // The camera's own policy wins over the device's every-camera one.
    RecordDeviceDirPolicy p;
    EXPECT_EQ(1, m->getRecordDeviceDirPolicy(RecordDeviceInfo("dev", "1:2", 3, 1), p));
    EXPECT_EQ(7, p.getGroupID());
    EXPECT_EQ(1, m->getRecordDeviceDirPolicy(RecordDeviceInfo("dev", "1:2", 1, 1), p));
    EXPECT_EQ(2, p.getGroupID());
    EXPECT_EQ(0, m->getRecordDeviceDirPolicy(RecordDeviceInfo("other", "", 1, 1), p));

    // A new configuration reaches the existing instance.
    RecordDiskManagerImpl::setConfiguration(RecorderConfig());
    dirs.clear();
    m->getRecordDirInfoList(dirs);
    EXPECT_TRUE(dirs.empty());
    EXPECT_EQ(0, m->getRecordDeviceDirPolicy(RecordDeviceInfo("dev", "", 3, 1), p));
}

TEST(BasicToolTest, NamesOfDaysAndDeviceFolders) {
    EXPECT_EQ("20240101", BasicTool::getDateString(1704067200000LL));
    EXPECT_EQ("20231231", BasicTool::getDateString(1704067199999LL));
    EXPECT_EQ("19691231", BasicTool::getDateString(-1));
    EXPECT_EQ("dev_x_fe80--1_12", BasicTool::getDeviceDirString("dev_x", "fe80::1", 12));
    std::string id, ip;
    int camera = 0;
    ASSERT_TRUE(BasicTool::parseDeviceDirString("dev_x_fe80--1_12", id, ip, camera));
    EXPECT_EQ("dev_x", id);
    EXPECT_EQ("fe80--1", ip);
    EXPECT_EQ(12, camera);
    EXPECT_FALSE(BasicTool::parseDeviceDirString(".recycle", id, ip, camera));
    EXPECT_FALSE(BasicTool::parseDeviceDirString("a_b_c", id, ip, camera));
}

}  // namespace
