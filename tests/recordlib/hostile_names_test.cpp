// Names that would lead outside the configured roots, at every entry point of
// the record library that turns a name into a path: each must refuse them
// (kRecordBadName, or "nothing found"), touch nothing and log why, while the
// same entry points still serve a good name.
#include <gtest/gtest.h>

#include <fstream>

#include "BasicTool.h"
#include "DiskManagerFactory.h"
#include "IRecordDir.h"
#include "IRecordWriter.h"
#include "RecordFileReader.h"
#include "RecordIndexFileParserEx.h"
#include "RecordRecycleBin.h"
#include "RecordTestSupport.h"
#include "config/RecorderConfig.h"
#include "store/RecordIndexFile.h"
#include "store/RecordName.h"

namespace fs = std::filesystem;

namespace {

const long long kDay = 1700000000000LL;  // 2023-11-14

// Every file and folder below `dir`, as relative paths.
std::set<std::string> tree(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        out.insert(fs::relative(e.path(), dir).string());
    }
    return out;
}

class HostileNamesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(m_tmp.sub("disk/root"));
        fs::create_directories(m_tmp.sub("disk/backup"));
        std::ofstream(m_tmp.sub("disk/victim.bin")) << "keep me";
        m_dir = makeRecordDir(m_tmp.sub("disk/root"), RecordDirInfoEx::kAttributeLocal);
        m_config.recordDirs = {m_dir};
        m_config.backupDirs = {
            makeRecordDir(m_tmp.sub("disk/backup"), RecordDirInfoEx::kAttributeBackup)};
    }

    rectest::TempDir m_tmp;
    RecordDirInfoEx m_dir;
    RecorderConfig m_config;
};

// A device id and IP as the host hands them over (RecordInfo, the recorder,
// a policy lookup): refused by every entry point that makes a path of them.
TEST_F(HostileNamesTest, DeviceNamesAreRefusedWhereverTheyBecomePaths) {
    struct Row {
        std::string id;
        std::string ip;
        int expected;  // kRecordOk or kRecordBadName
    };
    const std::vector<Row> rows = {
        {"cam-door", "10.0.0.7", kRecordOk},  // a good device still works
        {"cam_door.2", "fe80::1", kRecordOk},
        {"a/b", "10.0.0.7", kRecordBadName},
        {"../../x", "10.0.0.7", kRecordBadName},
        {"..", "10.0.0.7", kRecordBadName},
        {".recycle", "10.0.0.7", kRecordBadName},
        {"a\nb", "10.0.0.7", kRecordBadName},
        {"a\x7f", "10.0.0.7", kRecordBadName},
        {std::string("a\0b", 3), "10.0.0.7", kRecordBadName},
        {std::string(256, 'a'), "10.0.0.7", kRecordBadName},
        {"cam", "10.0.0.7/../../../x", kRecordBadName},
        {"cam", "..", kRecordBadName},
        {"cam", "1.2.3.4\t", kRecordBadName},
    };
    rectest::LogCatcher refused("RecordWrite");
    for (const Row& row : rows) {
        SCOPED_TRACE(RecordName::printable(row.id) + " " + RecordName::printable(row.ip));
        RecorderConfig config = m_config;
        config.policies = {{row.id, 1, 1}};  // even a policy for it (set by a host)
        rectest::ConfigScope scope(config);
        const std::set<std::string> before = tree(m_tmp.path());

        // The recorder writing a file for it.
        LocalRecorder recorder(m_dir, row.id, row.ip, 1);
        EXPECT_EQ(row.expected, recorder.startFile(kDay, AVStreamInfo()));
        // The disk manager making a backup file for it.
        RecordDiskManagerImpl* manager = RecordDiskManagerImpl::createInstance();
        SafePointer<RecordFileInfo> file(new RecordFileInfo);
        file->setDeviceId(row.id);
        file->setDeviceIP(row.ip);
        file->setCameraId(1);
        SafePointer<IRecordWriter> writer;
        SafePointer<IRecordDir> dir;
        const int made = manager->createRecordFile(file, 1, 0, writer, dir);
        EXPECT_EQ(row.expected == kRecordOk, made != kRecordBadName) << made;
        // The policy lookup of the backup's source side.
        RecordDeviceDirPolicy policy;
        EXPECT_EQ(
            RecordName::checkDeviceId(row.id) == kRecordOk ? 1 : 0,
            manager->getRecordDeviceDirPolicy(RecordDeviceInfo(row.id, row.ip, 1, 1), policy));
        delete manager;
        // The device folder search, the index parser and the reader.
        std::vector<std::string> names;
        if (RecordName::checkDeviceId(row.id) != kRecordOk) {
            EXPECT_EQ(0,
                      BasicTool::getMatchDeviceDirList(m_dir, "record", row.id, row.ip, 1, names));
        }
        const std::string deviceDir = BasicTool::getDeviceDirString(row.id, row.ip, 1);
        RecordIndexFileParserEx parser;
        EXPECT_EQ(row.expected == kRecordOk ? 1 : 0,
                  parser.open(m_dir, BasicTool::getDateString(kDay), deviceDir, 1, 1));
        parser.close();
        RecordFileInfo info;
        info.setDeviceId(row.id);
        info.setDeviceIP(row.ip);
        info.setCameraId(1);
        info.setRecordDirInfo(m_dir);
        info.setRecordBeginTime(kDay);
        info.setRecordFileName(std::to_string(kDay) + ".ts");
        SafePointer<IFile> stream;
        RecordFileIndexNodeInfo walk;
        EXPECT_EQ(row.expected == kRecordOk ? kRecordOk : kRecordBadName,
                  openRecordFileForRead(info, stream, walk));
        if (!stream.isNull()) stream->close();
        (void)recorder.finishFile();

        if (row.expected != kRecordOk) {
            EXPECT_EQ(before, tree(m_tmp.path())) << "nothing made or removed anywhere";
        }
        fs::remove_all(m_tmp.sub("disk/root/record"));
    }
    EXPECT_TRUE(refused.contains("device id \"a/b\" holds a \"/\": refused (unsafe name)"));
    EXPECT_TRUE(refused.contains("device IP \"1.2.3.4\\x09\" holds a control character"));
}

// Paths handed to the two deletes of the backup's source side (the recycle
// bin, then the disk manager): only a record file in a day folder of a
// configured root is ever removed.
TEST_F(HostileNamesTest, DeletesRemoveOnlyRecordFilesOfTheirRoots) {
    rectest::ConfigScope scope(m_config);
    const RecordFileInfo good = rectest::recordFile(m_dir, "dev", "1.2.3.4", 1, kDay, 2);
    const std::string day = fsutil::dirName(good.createRecordFileName());
    const std::string record = m_tmp.sub("disk/root/record");
    std::ofstream(m_tmp.sub("disk/root/record/.recycle-me")) << "x";
    struct Row {
        std::string built;  // the full path asked for
        std::string held;   // the file's own name
        int removed;
    };
    const std::vector<Row> rows = {
        {day + "/../../../../victim.bin", "../../../../victim.bin", 0},
        {day + "/../../../../victim.bin", good.getRecordFileName(), 0},
        {day + "/x.ts", "../../../../victim.bin", 0},
        {m_tmp.sub("disk/victim.bin"), "victim.bin", 0},
        {record + "/.recycle-me", ".recycle-me", 0},
        {day + "/record.idx", "record.idx", 0},
        {record + "/dev_1.2.3.4_1/notaday/" + good.getRecordFileName(), "x.ts", 0},
        {good.createRecordFileName(), good.getRecordFileName(), 1},
    };
    IDiskManager* disks = DiskManagerFactory::getDiskManager(1, 1);
    rectest::LogCatcher log("RecordRecycleBin");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.built + " / " + row.held);
        RecordRecycleBin bin(m_dir.getDiskType(), record);
        ASSERT_EQ(kRecordOk, bin.init(1, 0));
        const int moved = bin.deleteFile(row.built, row.held);
        const int unlinked = moved != 0 ? 0 : disks->deleteRecordFile(row.built.c_str());
        EXPECT_EQ(row.removed, moved + unlinked);
    }
    std::ifstream victim(m_tmp.sub("disk/victim.bin"));
    std::string text;
    std::getline(victim, text);
    EXPECT_EQ("keep me", text);
    EXPECT_TRUE(fs::exists(day + "/record.idx"));
    EXPECT_TRUE(fs::exists(record + "/.recycle-me"));
    EXPECT_FALSE(fs::exists(good.createRecordFileName()));
    EXPECT_TRUE(log.contains("not a record file of " + record + ", not moved"));
}

}  // namespace
