// The recorder configuration: hostile input is refused with a message that
// names the file and the field, a saved configuration loads back, and the
// disk manager serves it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "BasicTool.h"
#include "RecordTestSupport.h"
#include "config/RecorderConfig.h"

namespace {

using rectest::TempDir;

// One hostile configuration: the JSON text ("$T" stands for a temporary
// folder holding rec/, b/rec/ and link -> rec), the answer of the loader and
// its exact message.
struct Case {
    std::string json;
    int code;
    std::string error;
};

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

TEST(RecorderConfigTest, HostileConfigurationsAreRefusedNamingTheFileAndTheField) {
    // Most rows are a variation of one well-formed configuration.
    auto with = [](const std::string& tail) {
        return std::string(R"({"recordDirs": [{"root": "$T/rec"}], "policies": [)") + tail;
    };
    const std::string seg = "out of range [1048576, 969932800]";
    const std::string dev = R"({"deviceId": "d", "groupId": 1})";
    const Case cases[] = {
        // Not a configuration at all.
        {"{", kRecordBadConfig, "cfg.json: not valid JSON (byte 2)"},
        {"[]", kRecordBadConfig, R"~(cfg.json: field "(top level)" not an object)~"},
        {R"({"policies": []})", kRecordBadConfig, R"(cfg.json: field "recordDirs" missing)"},
        {R"({"recordDirs": {}, "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs" not an array)"},
        {R"({"recordDirs": [[[[[[[[[]]]]]]]]], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[0][0][0][0][0][0][0]" nested too deeply)"},
        // Misspelt and unknown keys, at every level.
        {R"({"recordDirs": [], "policies": [{"deviceId": "d", "cameraID": 1, "groupId": 1}]})",
         kRecordBadConfig,
         R"~(cfg.json: field "policies[0].cameraID" unknown (did you mean "cameraId"?))~"},
        {R"({"recordDirs": [], "policies": [], "recycleRetentionSecs": 60})", kRecordBadConfig,
         R"~(cfg.json: field "recycleRetentionSecs" unknown (did you mean "recycleRetentionSeconds"?))~"},
        {R"({"recordDirs": [], "policies": [], "backupDir": [{"root": "/b"}]})", kRecordBadConfig,
         R"~(cfg.json: field "backupDir" unknown (did you mean "backupDirs"?))~"},
        {R"({"recordDirs": [{"root": "/a", "colour": 1}], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[0].colour" unknown)"},
        {R"({"recordDirs": [{"root": "/a", "root": "/b"}], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[0].root" given twice)"},
        // Wrong types.
        {R"({"recordDirs": [{}], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[0].root" missing)"},
        {R"({"recordDirs": [{"root": "/a"}, {"root": 5}], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[1].root" not a string)"},
        {R"({"recordDirs": [{"root": "/a\u0000b"}], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[0].root" holds a NUL character)"},
        {R"({"recordDirs": [{"root": "/a", "groupId": "1"}], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[0].groupId" not an integer)"},
        {R"({"recordDirs": [], "policies": [], "backupDirs": [3]})", kRecordBadConfig,
         R"(cfg.json: field "backupDirs[0]" not an object)"},
        {R"({"recordDirs": [], "policies": [], "backupReserveBytes": true})", kRecordBadConfig,
         R"(cfg.json: field "backupReserveBytes" not an integer)"},
        {R"({"recordDirs": [], "policies": [], "backupReserveBytes": 1.5})", kRecordBadConfig,
         R"(cfg.json: field "backupReserveBytes" not an integer)"},
        // Numbers out of range, including those no 64-bit integer holds.
        {R"({"recordDirs": [], "policies": [], "backupReserveBytes": 1e400})", kRecordBadConfig,
         R"~(cfg.json: field "backupReserveBytes" out of range (1e400))~"},
        {R"({"recordDirs": [], "policies": [], "backupReserveBytes": 18446744073709551615})",
         kRecordBadConfig,
         R"(cfg.json: field "backupReserveBytes" out of range [0, 1125899906842624])"},
        {R"({"recordDirs": [], "policies": [], "backupReserveBytes": 100000000000000000000})",
         kRecordBadConfig,
         R"(cfg.json: field "backupReserveBytes" out of range [0, 1125899906842624])"},
        {R"({"recordDirs": [], "policies": [], "backupReserveBytes": -1})", kRecordBadConfig,
         R"(cfg.json: field "backupReserveBytes" out of range [0, 1125899906842624])"},
        {R"({"recordDirs": [], "policies": [], "recycleRetentionSeconds": -2})", kRecordBadConfig,
         R"(cfg.json: field "recycleRetentionSeconds" out of range [-1, 1099511627776])"},
        {R"({"recordDirs": [{"root": "/a", "fileSegmentSize": 10}], "policies": []})",
         kRecordBadConfig, ("cfg.json: field \"recordDirs[0].fileSegmentSize\" " + seg)},
        {R"({"recordDirs": [{"root": "/a", "fileSegmentSize": 1099511627776}], "policies": []})",
         kRecordBadConfig, ("cfg.json: field \"recordDirs[0].fileSegmentSize\" " + seg)},
        {R"({"recordDirs": [{"root": "/a", "diskType": 0}], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[0].diskType" out of range [1, 3])"},
        {R"({"recordDirs": [{"root": "/a", "attribute": 8}], "policies": []})", kRecordBadConfig,
         R"(cfg.json: field "recordDirs[0].attribute" out of range [4, 4])"},
        // Policies.
        {R"({"recordDirs": [], "policies": [{"deviceId": "d"}]})", kRecordBadConfig,
         R"(cfg.json: field "policies[0].groupId" missing)"},
        {R"({"recordDirs": [], "policies": [{"deviceId": "", "groupId": 1}]})", kRecordBadConfig,
         R"(cfg.json: field "policies[0].deviceId" empty)"},
        {R"({"recordDirs": [], "policies": [{"deviceId": "../etc", "groupId": 1}]})",
         kRecordBadConfig, R"(cfg.json: field "policies[0].deviceId" holds a "/")"},
        {(with(dev + ", " + dev + "]}")), kRecordBadConfig,
         R"(cfg.json: field "policies[1]" names the device and camera of policies[0])"},
        // Roots that overlap: the job would read back what it writes.
        {(with("], \"backupDirs\": [{\"root\": \"$T/rec/usb\"}]}")), kRecordBadConfig,
         R"~(cfg.json: field "backupDirs[0].root" lies inside recordDirs[0].root ($T/rec))~"},
        {(with("], \"backupDirs\": [{\"root\": \"$T/b/../rec/x/\"}]}")), kRecordBadConfig,
         R"~(cfg.json: field "backupDirs[0].root" lies inside recordDirs[0].root ($T/rec))~"},
        {(with("], \"backupDirs\": [{\"root\": \"$T/link/x\"}]}")), kRecordBadConfig,
         R"~(cfg.json: field "backupDirs[0].root" lies inside recordDirs[0].root ($T/rec))~"},
        {(with("], \"backupDirs\": [{\"root\": \"$T\"}]}")), kRecordBadConfig,
         R"~(cfg.json: field "backupDirs[0].root" contains recordDirs[0].root ($T/rec))~"},
        {(with("], \"backupDirs\": [{\"root\": \"$T/./rec/\"}]}")), kRecordBadConfig,
         R"(cfg.json: field "backupDirs[0].root" is the same folder as recordDirs[0].root)"},
        {R"({"recordDirs": [{"root": "$T/rec"}, {"root": "$T/link"}], "policies": []})",
         kRecordBadConfig,
         R"(cfg.json: field "recordDirs[1].root" is the same folder as recordDirs[0].root)"},
        // Accepted: a whole number written with an exponent, a backup root
        // beside the record roots, roots that do not exist yet.
        {(with(dev + R"(], "backupDirs": [{"root": "$T/b", "attribute": 8}],
                      "backupReserveBytes": 1e6})")),
         kRecordOk, ""},
        {R"({"recordDirs": [{"root": "$T/new1"}, {"root": "$T/new2"}], "policies": []})", kRecordOk,
         ""},
    };
    TempDir tmp;
    std::filesystem::create_directories(tmp.sub("rec"));
    std::filesystem::create_directories(tmp.sub("b/rec"));
    std::filesystem::create_directory_symlink(tmp.sub("rec"), tmp.sub("link"));
    for (const Case& c : cases) {
        const std::string json = replaceAll(c.json, "$T", tmp.path());
        RecorderConfig out;
        out.policies.push_back(DevicePolicyConfig{"kept", 1, 1});
        std::string error;
        EXPECT_EQ(c.code, RecorderConfig::loadText(json, "cfg.json", out, error)) << json;
        EXPECT_EQ(replaceAll(c.error, "$T", tmp.path()), error) << json;
        if (c.code != kRecordOk) {
            ASSERT_EQ(1u, out.policies.size()) << "a failed load leaves the output alone";
        }
    }

    RecorderConfig out;
    std::string error;
    EXPECT_EQ(kRecordBadConfig, RecorderConfig::loadFile("/nonexistent/recorder.json", out, error));
    EXPECT_EQ("/nonexistent/recorder.json: cannot be read (not found)", error);
    EXPECT_EQ(kRecordBadConfig, RecorderConfig::loadFile(tmp.path(), out, error));
    EXPECT_EQ(tmp.path() + ": cannot be read (I/O error)", error);
    std::ofstream(tmp.sub("big.json")) << std::string(2 << 20, ' ');
    EXPECT_EQ(kRecordBadConfig, RecorderConfig::loadFile(tmp.sub("big.json"), out, error));
    EXPECT_EQ(tmp.sub("big.json") + ": larger than 1048576 bytes", error);
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
      "backupDirs": [{"root": "/usb", "attribute": 8, "fileSegmentSize": 1048576}],
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
