// The backup side of the record library: creating files on a prepared backup
// disk, writing frames, the rotation rule, durable close, a full disk and
// failing I/O. (A close in the background: the crash and move tests.)
#include <gtest/gtest.h>

#include <sstream>

#include "BasicTool.h"
#include "RecordFileReader.h"
#include "RecordTestSupport.h"
#include "RetrieverFileQuery.h"
#include "TSAVData.h"
#include "store/BackupDisk.h"
#include "store/BackupRecordWriter.h"
#include "store/RecordRecovery.h"

namespace {

using namespace rectest;

const long long kBegin = 1704067200000LL + 3600000LL;
const long long kReserve = 1 << 20;

// Frame `index` of `count` packets at kBegin + index * 200 ms, a key frame
// every fifth.
TSAVData frame(int index, int count = 2) {
    TSAVData f;
    std::vector<char> d = packets(count, index);
    f.setData(d.data(), static_cast<unsigned int>(d.size()));
    f.setTimeStamp(kBegin + index * 200);
    f.setDataTimeLength(200);
    f.setFrameType(index % 5 == 0 ? 1 : 2);
    f.setESStreamType(1);
    f.setImageWidth(640);
    f.setImageHeight(360);
    f.setEncoderType(1);
    return f;
}

class BackupWriterTest : public ::testing::Test {
  protected:
    // A close is done before close() returns.
    BackupWriterTest() { BackupRecordWriter::setCloseInBackground(false); }
    ~BackupWriterTest() override { BackupRecordWriter::setCloseInBackground(true); }

    void configure(std::vector<std::string> roots, long long segment = 64LL << 20,
                   bool prepare = true) {
        RecorderConfig c;
        c.recordDirs = {makeRecordDir(tmp.sub("local"), RecordDirInfoEx::kAttributeLocal)};
        for (const std::string& r : roots) {
            c.backupDirs.push_back(makeRecordDir(r, RecordDirInfoEx::kAttributeBackup, 0, segment));
            std::string id;
            if (std::filesystem::is_directory(r) && prepare) {
                EXPECT_EQ(0, BackupDisk::prepare(*posixFileSystem(), r, id));
            }
        }
        c.backupReserveBytes = kReserve;
        config.reset();
        config.reset(new ConfigScope(c));
    }
    // tmp/backup behind a fault-injecting file system.
    FaultFileSystem& faultyBackupDir() {
        std::filesystem::create_directories(tmp.sub("backup"));
        configure({tmp.sub("backup")});
        m_fs.reset(new FaultFileSystem);
        m_fsScope.reset(new FileSystemScope(m_fs.get()));
        return *m_fs;
    }
    SafePointer<RecordFileInfo> description(int camera = 2) {
        SafePointer<RecordFileInfo> info(new RecordFileInfo);
        info->setDeviceId("dev_1");
        info->setDeviceIP("10-0-0-1");
        info->setCameraId(camera);
        info->setRecordBeginTime(kBegin);
        info->setRecordDate(BasicTool::getDateString(kBegin));
        TSAVData first = frame(0);
        info->setAVStreamInfo(AVStreamInfo(&first));
        return info;
    }
    int create(SafePointer<RecordFileInfo>& info) {
        return Singlton<RecordDiskManagerImpl>::getInstance()->createRecordFile(info, 1, 0, writer,
                                                                                dir);
    }
    // Creates and opens a new backup file; the writer starts at second 10.
    void openNew(SafePointer<RecordFileInfo>& info) {
        ASSERT_EQ(kRecordOk, create(info));
        int start = 0;
        ASSERT_EQ(kRecordOk, writer->open(info, start));
        EXPECT_EQ(10, start);
    }
    int write(TSAVData f) { return writer->write(&f, false, 0); }
    // The backup files of dev_1/camera 2 on tmp/backup the query gives out.
    std::vector<RecordFileInfo> listed(const std::string& root = "backup") {
        const RecordDirInfoEx d = makeRecordDir(tmp.sub(root), 0);
        std::vector<std::string> names;
        BasicTool::getMatchDeviceDirList(d, "record", "dev_1", "", 2, names);
        RetrieverFileQuery q;
        q.setRecordDirInfo({d});
        q.setDeviceList(std::set<std::string>(names.begin(), names.end()));
        std::vector<RecordFileInfo> out;
        q.listRecordFiles(out, true);
        return out;
    }
    // The data of a listed file read node by node, and its nodes as
    // "offset/length/K|P".
    std::vector<char> readAll(const RecordFileInfo& info, std::vector<std::string>& nodes) {
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        EXPECT_EQ(kRecordOk, openRecordFileForRead(info, file, walk));
        std::vector<char> data;
        RecordIndexNode n;
        while (!file.isNull() && walk.seekNext()) {
            walk.getCurrentNodeInfo(n);
            nodes.push_back(std::to_string(n.getTimeOffset()) + "/" +
                            std::to_string(n.getTimeLen()) + (n.isIFrame() ? "/K" : "/P"));
            data.resize(data.size() + n.getDataLen());
            EXPECT_EQ(n.getDataLen(),
                      file->read(data.data() + data.size() - n.getDataLen(), n.getDataLen()));
        }
        return data;
    }

    TempDir tmp;
    std::unique_ptr<ConfigScope> config;
    // Held through unique_ptr: a handle's destructor may throw, the
    // fixture's may not.
    std::unique_ptr<SafePointer<IRecordWriter>> m_writer{new SafePointer<IRecordWriter>};
    std::unique_ptr<SafePointer<IRecordDir>> m_dir{new SafePointer<IRecordDir>};
    SafePointer<IRecordWriter>& writer = *m_writer;
    SafePointer<IRecordDir>& dir = *m_dir;
    std::unique_ptr<FaultFileSystem> m_fs;
    std::unique_ptr<FileSystemScope> m_fsScope;
};

// A root is never created (a missing one is an unplugged disk) and only a
// prepared one is written (a bare mount point is the system's own disk).
TEST_F(BackupWriterTest, OnlyAPreparedDiskIsWrittenAndNoRootIsEverCreated) {
    const std::string unmounted = tmp.sub("mnt/usb");
    configure({unmounted});
    SafePointer<RecordFileInfo> info = description();
    EXPECT_EQ(kRecordNoDir, create(info));
    std::filesystem::create_directories(tmp.sub("backup"));
    configure({unmounted, tmp.sub("backup")});
    openNew(info);
    EXPECT_EQ(tmp.sub("backup"), info->getRecordDirInfo().getRecordRootDir());
    ASSERT_EQ(kRecordOk, write(frame(0)));
    EXPECT_EQ(kRecordOk, writer->close());
    // A second file with the same begin time gets a name of its own.
    openNew(info);
    ASSERT_EQ(kRecordOk, write(frame(0)));
    EXPECT_EQ(kRecordOk, writer->close());
    EXPECT_EQ(2u, listed().size());
    // The disk is unplugged between creation and open: the open fails.
    ASSERT_EQ(kRecordOk, create(info));
    std::filesystem::rename(tmp.sub("backup"), tmp.sub("away"));
    int start = 0;
    EXPECT_EQ(kRecordNoDir, writer->open(info, start));
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("backup")) ||
                 std::filesystem::exists(tmp.sub("mnt")));
    // A bare mount point is refused and left untouched until it is prepared.
    std::filesystem::create_directories(tmp.sub("bare"));
    configure({tmp.sub("bare")}, 64LL << 20, false);
    EXPECT_EQ(kRecordNoDir, create(info));
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("bare/record")));
    configure({tmp.sub("bare")});
    openNew(info);
    EXPECT_EQ(kRecordOk, writer->close());
}

// A close whose data fsync fails is an I/O error, and the file is not listed
// as complete. (The order of the durable close: the move's power cuts.)
TEST_F(BackupWriterTest, FailedCloseIsNotListedAndFullDisksRefuse) {
    FaultFileSystem& fs = faultyBackupDir();
    SafePointer<RecordFileInfo> info = description();
    openNew(info);
    ASSERT_EQ(kRecordOk, write(frame(0)));
    fs.failOn("fsync", kRecordIOError);
    EXPECT_EQ(kRecordIOError, writer->close());
    fs.clear();
    EXPECT_TRUE(listed().empty());

    // Free space: none above the reserve, no file; room for 3 packets, a
    // frame of 4 is refused; unknown, nothing is.
    fs.setFreeSpace(kReserve);
    EXPECT_EQ(kRecordDirRefused, create(info));
    fs.setFreeSpace(kReserve + 188 * 3);
    openNew(info);
    TSAVData small = frame(0, 3), big = frame(1, 4);
    EXPECT_TRUE(dir->canWrite(&small, 0));
    EXPECT_FALSE(dir->canWrite(&big, 0));
    fs.failOn("freeSpace", kRecordIOError);
    EXPECT_FALSE(dir->canWrite(&small, 0));
    // Far above the reserve, one answer serves the next frames, less what
    // was written since; too little of it left, the disk is asked again.
    fs.clear();
    fs.setFreeSpace(kReserve + (17LL << 20));
    EXPECT_TRUE(dir->canWrite(&small, 0));
    fs.setFreeSpace(kReserve);  // others filled the disk
    EXPECT_TRUE(dir->canWrite(&small, 0));
    dir->addWrittenSize(2 << 20);
    EXPECT_FALSE(dir->canWrite(&small, 0));
    writer->close();
}

// What write answers for each frame of a file, and what the file closed then
// holds: exactly the frames written, node by node (none before the close). A
// file ends at a key frame once the group of pictures it opens would not fit
// the segment: the key frame is refused (-737) and starts the next file.
// Frames are "K<packets>" (key) or "P<packets>"; results '.' written, 'X'
// -737, 'R' -703 (disk full), 'E' -707.
TEST_F(BackupWriterTest, WriteAnswersAndTheClosedFileHoldsExactlyTheFramesWritten) {
    struct Row {
        const char* name;
        int segmentPackets;  // 0: no limit
        int faultCode;       // a write that fails once: with this code,
        int faultAt;         // at this write (0 the first)
        const char* frames;
        const char* results;
    };
    const Row rows[] = {
        {"one and a half groups of room left, then not", 20, 0, 0, "K2 P2 P2 K2 P2 P2 K2",
         "......X"},
        {"the largest group of the file counts", 25, 0, 0, "K2 P8 K2 P4 K2", "....X"},
        {"a frame that does not fit at all", 6, 0, 0, "K2 P2 P2 P2", "...X"},
        {"the first frame of a file is never held back", 4, 0, 0, "K4 P1 K1", ".XX"},
        {"no segment limit", 0, 0, 0, "K1 P2 P3 K1 P2 P3 K1 P2 P3 K1 P2 P3", "............"},
        {"the disk fills up: the file is broken", 0, kRecordNoSpace, 1, "K3 P4 P3", ".RE"},
        {"an I/O error breaks the file for good", 0, kRecordIOError, 1, "K2 P2 P2", ".EE"},
    };
    const std::map<int, char> codes = {{kRecordOk, '.'},
                                       {kRecordSegmentFull, 'X'},
                                       {kRecordDirRefused, 'R'},
                                       {kRecordIOError, 'E'}};
    FaultFileSystem& fs = faultyBackupDir();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(tmp.sub("backup/record"));
        configure({tmp.sub("backup")}, 188LL * row.segmentPackets);
        SafePointer<RecordFileInfo> info = description();
        openNew(info);
        if (row.faultCode != 0) fs.failWrite(row.faultCode, row.faultAt);
        std::string results;
        std::vector<char> written;
        std::vector<std::string> nodes;
        std::istringstream frames(row.frames);
        std::string token;
        for (int i = 0; frames >> token; ++i) {
            TSAVData f = frame(i, std::stoi(token.substr(1)));
            f.setFrameType(token[0] == 'K' ? 1 : 2);
            const int r = write(f);
            if (r == kRecordOk) {
                written.insert(written.end(), f.getData(), f.getData() + f.getDataLength());
                nodes.push_back(std::to_string(i * 200) + "/200/" + token.substr(0, 1));
            }
            results += codes.count(r) != 0 ? codes.at(r) : '?';
        }
        EXPECT_EQ(row.results, results);
        EXPECT_TRUE(listed().empty());  // not given out before it is closed
        ASSERT_EQ(kRecordOk, writer->close());
        EXPECT_EQ(kRecordOk, writer->close());
        EXPECT_EQ(kRecordIOError, write(frame(0)));
        const std::vector<RecordFileInfo> files = listed();
        ASSERT_EQ(1u, files.size());
        std::vector<std::string> read;
        EXPECT_EQ(written, readAll(files[0], read));
        EXPECT_EQ(nodes, read);
        EXPECT_EQ(written.size(), std::filesystem::file_size(files[0].createRecordFileName()));
        EXPECT_EQ(kBegin + 200 * static_cast<long long>(results.rfind('.') + 1),
                  files[0].getRecordEndTime());
    }
}

// A crash while a file is open leaves what its checkpoints listed: a copy of
// the backup disk taken mid-file (one frame past the last checkpoint) is
// recovered to a complete file holding every checkpointed frame, cut to them.
TEST_F(BackupWriterTest, CrashAfterCheckpointsRecoversEveryCheckpointedFrameAndNoMore) {
    faultyBackupDir();  // with no faults
    SafePointer<RecordFileInfo> info = description();
    openNew(info);
    auto* backup = dynamic_cast<BackupRecordWriter*>(writer.get());
    ASSERT_NE(nullptr, backup);
    long long durable = 0;
    for (int i = 0; i < 7; ++i) {
        TSAVData f = frame(i, 1 + i % 3);
        ASSERT_EQ(kRecordOk, write(f));
        if (i == 6) break;  // written, not yet checkpointed
        durable += f.getDataLength();
        ASSERT_EQ(kRecordOk, i % 2 == 1 ? backup->checkpoint() : kRecordOk);  // after 1, 3, 5
    }
    std::filesystem::copy(tmp.sub("backup"), tmp.sub("cut"),
                          std::filesystem::copy_options::recursive);
    ASSERT_EQ(kRecordOk, writer->close());
    configure({tmp.sub("cut")}, 64LL << 20, false);
    RecoveryReport report;
    ASSERT_EQ(kRecordOk, RecordDiskManagerImpl::recover(&report));
    EXPECT_EQ(1, report.backupFilesCompleted);
    const std::vector<RecordFileInfo> files = listed("cut");
    ASSERT_EQ(1u, files.size());
    std::vector<std::string> nodes;
    EXPECT_EQ(static_cast<size_t>(durable), readAll(files[0], nodes).size());
    EXPECT_EQ(6u, nodes.size());
    EXPECT_EQ(static_cast<unsigned long long>(durable),
              std::filesystem::file_size(files[0].createRecordFileName()));
}

}  // namespace
