// The recorder configuration: hostile input is refused with a message that
// names the file and the field, and the disk manager serves it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "RecordTestSupport.h"
#include "config/RecorderConfig.h"

namespace {

using rectest::TempDir;

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

// One configuration per row: the JSON text ("$T" stands for a temporary
// folder holding rec/, b/rec/ and link -> rec) and the loader's exact message
// after "cfg.json: " (none when it is accepted). A failed load leaves the
// output alone.
TEST(RecorderConfigTest, HostileConfigurationsAreRefusedNamingTheFileAndTheField) {
    // Most rows are a variation of one of two well-formed configurations.
    auto none = [](const std::string& tail) {
        return R"({"recordDirs": [], "policies": [])" + tail + "}";
    };
    auto rec = [](const std::string& tail) {
        return R"({"recordDirs": [{"root": "$T/rec"}], "policies": [)" + tail + "}";
    };
    auto dir = [](const std::string& fields) {
        return R"({"recordDirs": [{"root": "/a")" + fields + R"(}], "policies": []})";
    };
    const std::string dev = R"({"deviceId": "d", "groupId": 1})";
    const std::pair<std::string, std::string> cases[] = {
        // Not a configuration at all.
        {"{", "not valid JSON (byte 2)"},
        {R"({"recordDirs": [[[[[[[[[]]]]]]]]], "policies": []})",
         R"(field "recordDirs[0][0][0][0][0][0][0]" nested too deeply)"},
        // Repeated keys, wrong types (misspelt keys: the commands test).
        {dir(R"(, "root": "/b")"), R"(field "recordDirs[0].root" given twice)"},
        {R"({"recordDirs": [{"root": "/a\u0000b"}], "policies": []})",
         R"(field "recordDirs[0].root" holds a NUL character)"},
        {none(R"(, "backupReserveBytes": 1.5)"), R"(field "backupReserveBytes" not an integer)"},
        // Numbers out of range, including those no 64-bit integer holds.
        {none(R"(, "backupReserveBytes": 100000000000000000000)"),
         R"(field "backupReserveBytes" out of range [0, 1125899906842624])"},
        {dir(R"(, "fileSegmentSize": 1099511627776)"),
         R"(field "recordDirs[0].fileSegmentSize" out of range [1048576, 969932800])"},
        // Policies.
        {rec(R"({"deviceId": "", "groupId": 1}])"), R"(field "policies[0].deviceId" empty)"},
        {rec(dev + ", " + dev + "]"),
         R"(field "policies[1]" names the device and camera of policies[0])"},
        // Roots that overlap: the job would read back what it writes.
        {rec(R"(], "backupDirs": [{"root": "$T/link/x"}])"),
         R"~(field "backupDirs[0].root" lies inside recordDirs[0].root ($T/rec))~"},
        {rec(R"(], "backupDirs": [{"root": "$T"}])"),
         R"~(field "backupDirs[0].root" contains recordDirs[0].root ($T/rec))~"},
        {R"({"recordDirs": [{"root": "$T/rec"}, {"root": "$T/link"}], "policies": []})",
         R"(field "recordDirs[1].root" is the same folder as recordDirs[0].root)"},
        // Accepted: a whole number written with an exponent, a backup root
        // beside the record roots, roots that do not exist yet.
        {rec(dev + R"(], "backupDirs": [{"root": "$T/b", "attribute": 8}], )" +
             R"("backupReserveBytes": 1e6)"),
         ""},
        {R"({"recordDirs": [{"root": "$T/new1"}, {"root": "$T/new2"}], "policies": []})", ""},
    };
    TempDir tmp;
    std::filesystem::create_directories(tmp.sub("rec"));
    std::filesystem::create_directories(tmp.sub("b/rec"));
    std::filesystem::create_directory_symlink(tmp.sub("rec"), tmp.sub("link"));
    for (const auto& [text, message] : cases) {
        const std::string json = replaceAll(text, "$T", tmp.path());
        RecorderConfig out;
        out.policies.push_back(DevicePolicyConfig{"kept", 1, 1});
        std::string error;
        EXPECT_EQ(message.empty() ? kRecordOk : kRecordBadConfig,
                  RecorderConfig::loadText(json, "cfg.json", out, error))
            << json;
        EXPECT_EQ(message.empty() ? "" : replaceAll("cfg.json: " + message, "$T", tmp.path()),
                  error);
        EXPECT_EQ(message.empty() ? out.policies.size() : 1u, out.policies.size()) << json;
    }
}

// The disk manager serves the configuration it is given: the camera's own
// policy wins over the device's every-camera one, and a new configuration
// reaches the existing instance.
TEST(RecorderConfigTest, DiskManagerServesTheConfiguredPolicies) {
    RecorderConfig c;
    c.recordDirs = {makeRecordDir("/d1", RecordDirInfoEx::kAttributeLocal, 2)};
    c.backupDirs = {makeRecordDir("/usb", RecordDirInfoEx::kAttributeBackup)};
    c.policies = {{"dev", 0, 2}, {"dev", 3, 7}};
    rectest::ConfigScope scope(c);
    RecordDiskManagerImpl* m = Singlton<RecordDiskManagerImpl>::getInstance();
    RecordDeviceDirPolicy p;
    EXPECT_EQ(1, m->getRecordDeviceDirPolicy(RecordDeviceInfo("dev", "1:2", 3, 1), p));
    EXPECT_EQ(7, p.getGroupID());
    EXPECT_EQ(1, m->getRecordDeviceDirPolicy(RecordDeviceInfo("dev", "1:2", 1, 1), p));
    EXPECT_EQ(2, p.getGroupID());
    EXPECT_EQ(0, m->getRecordDeviceDirPolicy(RecordDeviceInfo("other", "", 1, 1), p));
    std::vector<RecordDirInfoEx> dirs;
    EXPECT_EQ(kRecordOk, m->getRecordDirInfoList(dirs));
    EXPECT_EQ(2u, dirs.size());
    RecordDiskManagerImpl::setConfiguration(RecorderConfig());
    dirs.clear();
    m->getRecordDirInfoList(dirs);
    EXPECT_TRUE(dirs.empty());
    EXPECT_EQ(0, m->getRecordDeviceDirPolicy(RecordDeviceInfo("dev", "", 3, 1), p));
}

}  // namespace
