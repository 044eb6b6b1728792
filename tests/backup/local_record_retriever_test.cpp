// The local retriever on the real record library, over record directories in
// a temporary folder: what is read, in which order, with which attributes, and
// when each record file leaves the disk and its day index.
#include <unistd.h>

#include <ctime>
#include <fstream>

#include "BackupRecordRetriever.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "GlobalEnv.h"
#include "LocalBackupRecordRetriever.h"
#include "LocalRecorder.h"
#include "RecordDiskManagerImpl.h"
#include "RefCountManager.h"
#include "Singlton.h"
#include "TagNew.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"
#include "store/RecordIndexFile.h"

using namespace backup_test;

namespace {

const char kDevice[] = "cam-07";
const char kIP[] = "10.1.2.3";
const int kCamera = 1;
const int kGroup = 3;

long long utcMs(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<long long>(timegm(&tm)) * 1000;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// One frame as it was recorded, and so as it must be read back.
struct Frame {
    std::string data;
    long long timeStamp;
    int timeLen;
    bool iFrame;
};

struct RecordedFile {
    RecordFileInfo info;
    std::string path;
    int width, height, encoder;
    std::vector<Frame> frames;
};

// Reads of one data file dry up after a byte budget; renames into a recycle
// area, unlinks and opens of a path suffix fail when told to (-707).
class FaultyFileSystem : public FileSystemWrapper {
  public:
    FaultyFileSystem() : FileSystemWrapper(posixFileSystem()) {}
    int open(const std::string& path, int mode, int& fd) override {
        if (!failOpenSuffix.empty() && path.size() >= failOpenSuffix.size() &&
            path.compare(path.size() - failOpenSuffix.size(), std::string::npos, failOpenSuffix) ==
                0) {
            return -707;
        }
        const int r = FileSystemWrapper::open(path, mode, fd);
        std::lock_guard<std::mutex> guard(m_lock);
        if (r == 0 && path == m_readFaultPath) m_faultyFd = fd;
        return r;
    }
    int read(int fd, char* buffer, int count) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (fd == m_faultyFd) {
                count = static_cast<int>(std::min<long long>(count, m_readBudget));
                m_readBudget -= count;
                if (count == 0) return 0;
            }
        }
        return FileSystemWrapper::read(fd, buffer, count);
    }
    int close(int fd) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (fd == m_faultyFd) m_faultyFd = -1;
        }
        return FileSystemWrapper::close(fd);
    }
    int rename(const std::string& from, const std::string& to) override {
        if (failRecycle && to.find("/.recycle/") != std::string::npos) return -707;
        return FileSystemWrapper::rename(from, to);
    }
    int unlink(const std::string& path) override {
        return failUnlink ? -707 : FileSystemWrapper::unlink(path);
    }
    // `path` (empty: none) gives `budget` bytes from its next open on.
    void failReadsOf(const std::string& path, long long budget) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_readFaultPath = path;
        m_readBudget = budget;
        m_faultyFd = -1;
    }

    bool failRecycle = false;
    bool failUnlink = false;
    std::string failOpenSuffix;

  private:
    std::mutex m_lock;
    std::string m_readFaultPath;
    long long m_readBudget = 0;
    int m_faultyFd = -1;
};

class LocalRecordRetrieverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RecordDiskManagerImpl::setFileSystem(&m_fs);
        m_dirA = addDir("diskA", kGroup, RecordDirInfoEx::kAttributeLocal);
        m_dirB = addDir("diskB", kGroup, RecordDirInfoEx::kAttributeLocal);
        m_config.policies.push_back({kDevice, 0, kGroup});
        m_config.policies.push_back({"other", 0, kGroup + 1});
        RecordDiskManagerImpl::setConfiguration(m_config);
        m_liveRecords = RefCountManager::getInstance()->liveCount();
    }
    void TearDown() override {
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setFileSystem(nullptr);
        GlobalEnv::getInstance()->setPrintFlag(0);
        EXPECT_EQ(m_liveRecords, RefCountManager::getInstance()->liveCount());
    }

    RecordDirInfoEx addDir(const std::string& name, int group, int attribute, int diskType = 1,
                           int format = 1) {
        RecordDirInfoEx dir = makeRecordDir(m_tmp.path + "/" + name, attribute, group);
        dir.setDiskType(diskType);
        dir.setFileSystemFormat(format);
        EXPECT_EQ(0, ::mkdir(dir.getRecordRootDir().c_str(), 0755));
        std::string diskId;
        if (attribute == RecordDirInfoEx::kAttributeBackup) {
            EXPECT_EQ(0, BackupDisk::prepare(*posixFileSystem(), dir.getRecordRootDir(), diskId));
        }
        (attribute == RecordDirInfoEx::kAttributeLocal ? m_config.recordDirs : m_config.backupDirs)
            .push_back(dir);
        RecordDiskManagerImpl::setConfiguration(m_config);
        return dir;
    }

    // Records `nodes` frames into one complete file. Node i is 188*(1+i%3)
    // bytes (or `bigNode` bytes for node 1 when given), 40 ms apart; node 0
    // lies `firstOffset` ms from the file's begin (negative: before it).
    RecordedFile record(const RecordDirInfoEx& dir, long long beginMs, int width, int height,
                        int encoder, int nodes, int seed, const char* ip = kIP,
                        int camera = kCamera, int firstOffset = 0, int bigNode = 0) {
        RecordedFile file{{}, "", width, height, encoder, {}};
        LocalRecorder recorder(dir, kDevice, ip, camera);
        AVStreamInfo stream;
        stream.setImageWidth(width);
        stream.setImageHeight(height);
        stream.setEncoderType(encoder);
        stream.setESStreamType(1);
        EXPECT_EQ(0, recorder.startFile(beginMs, stream));
        for (int i = 0; i < nodes; ++i) {
            const int length = (bigNode > 0 && i == 1) ? bigNode : 188 * (1 + i % 3);
            Frame f{std::string(length, '\0'), beginMs + firstOffset + 40LL * i, 40 + i,
                    i % 3 == 0};
            for (int b = 0; b < length; ++b) {
                f.data[b] = b % 188 == 0 ? 0x47 : static_cast<char>((b * 31 + seed * 7 + i));
            }
            EXPECT_EQ(0, recorder.addNode(f.data.data(), length, f.timeStamp, f.timeLen, f.iFrame));
            file.frames.push_back(f);
        }
        EXPECT_EQ(0, recorder.finishFile());
        file.info = recorder.currentFile();
        file.path = file.info.createRecordFileName();
        EXPECT_TRUE(exists(file.path)) << file.path;
        return file;
    }

    // The file names that the day indexes of `dirs` still list for the device.
    std::set<std::string> listed(const std::vector<RecordDirInfoEx>& dirs,
                                 const std::string& ip = kIP) {
        RetrieverFileQuery query;
        query.setRecordDirInfo(dirs);
        query.setDeviceList({BasicTool::getDeviceDirString(kDevice, ip, kCamera)});
        std::vector<RecordFileInfo> files;
        query.listRecordFiles(files, false);
        std::set<std::string> names;
        for (const RecordFileInfo& f : files) names.insert(f.getRecordFileName());
        return names;
    }

    // Reads every frame of `file` through `retriever` and compares it.
    void readAll(BackupRecordRetriever& retriever, const RecordedFile& file) {
        TSAVData frame;
        for (const Frame& expected : file.frames) {
            ASSERT_EQ(0, retriever.read(&frame));
            ASSERT_EQ(static_cast<int>(expected.data.size()), frame.getDataLength());
            EXPECT_EQ(0, std::memcmp(expected.data.data(), frame.getData(), expected.data.size()));
            EXPECT_EQ(expected.timeStamp, frame.getTimeStamp());
            EXPECT_EQ(expected.timeLen, frame.getDataTimeLength());
            EXPECT_EQ(expected.iFrame ? 1 : 2, frame.getFrameType());
            EXPECT_EQ(file.width, frame.getImageWidth());
            EXPECT_EQ(file.height, frame.getImageHeight());
            EXPECT_EQ(file.encoder, frame.getEncoderType());
            EXPECT_EQ(1, frame.getESStreamType());
        }
    }

    // Opens a source, reads `file` to its end and finds no file after it.
    void readOnly(const RecordedFile& file) {
        BackupRecordRetriever retriever(true);
        ASSERT_EQ(0, retriever.open(m_request));
        readAll(retriever, file);
        TSAVData frame;
        EXPECT_EQ(-728, retriever.read(&frame));
        retriever.close();
    }

    TempDir m_tmp;
    FaultyFileSystem m_fs;
    LogCapture m_log;
    RecorderConfig m_config;
    RecordDirInfoEx m_dirA, m_dirB;
    const RecordInfo m_request = makeInfo(kDevice, kCamera, kIP);
    long m_liveRecords = 0;
};

TEST_F(LocalRecordRetrieverTest, RangeOverTwoDirectoriesAndTwoDaysIsReadInOrderAndMovedOff) {
    // Directories the device must never be read from, each with an older file.
    RecordDirInfoEx wrongGroup = addDir("otherGroup", kGroup + 1, RecordDirInfoEx::kAttributeLocal);
    RecordDirInfoEx backupDir = addDir("backup", kGroup, RecordDirInfoEx::kAttributeBackup);
    const long long early = utcMs(2026, 2, 28, 12, 0, 0);
    std::vector<RecordedFile> untouched = {
        record(wrongGroup, early, 320, 240, 1, 3, 90),
        record(backupDir, early + 1000, 320, 240, 1, 3, 91),
        record(m_dirA, early + 3000, 320, 240, 1, 3, 93, kIP, 2),  // camera 2
    };

    const long long day1 = utcMs(2026, 3, 1, 23, 58, 0);
    const long long day2 = utcMs(2026, 3, 2, 0, 0, 30);
    // Recorded out of time order, so the order read cannot be that of writing.
    std::vector<RecordedFile> files(4);
    files[2] = record(m_dirA, day2, 704, 576, 1, 4, 3);
    files[0] = record(m_dirA, day1, 1920, 1080, 1, 5, 1, kIP, kCamera, -40);
    files[3] = record(m_dirB, day2 + 60000, 640, 480, 2, 3, 4, kIP, kCamera, 0, 1500 * 1024);
    files[1] = record(m_dirB, day1 + 60000, 1280, 720, 2, 4, 2);
    ASSERT_NE(files[0].info.getRecordDate(), files[2].info.getRecordDate());

    BackupRecordRetriever retriever(true);
    ASSERT_EQ(0, retriever.open(m_request));
    TSAVData frame;
    for (size_t f = 0; f < files.size(); ++f) {
        SCOPED_TRACE("file " + std::to_string(f));
        readAll(retriever, files[f]);
        // Every earlier file is gone from disk and index; this one, even after
        // its last frame, and every later one are still there.
        std::set<std::string> names = listed({m_dirA, m_dirB});
        for (size_t g = 0; g < files.size(); ++g) {
            EXPECT_EQ(g >= f, exists(files[g].path)) << g;
            EXPECT_EQ(g >= f, names.count(files[g].info.getRecordFileName()) == 1) << g;
        }
    }
    // The largest frame came in pieces of at most 1 MiB, into an exact buffer.
    EXPECT_EQ(1500 * 1024, retriever.getBufferSize());

    EXPECT_EQ(-728, retriever.read(&frame));
    EXPECT_FALSE(exists(files[3].path));
    EXPECT_TRUE(listed({m_dirA, m_dirB}).empty());
    // Moved into the recycle areas of their own directories, not destroyed.
    std::vector<std::string> recycled;
    EXPECT_EQ(0, m_fs.list(m_dirB.getRecordRootDir() + "/record/.recycle", recycled));
    EXPECT_EQ(2u, recycled.size());
    EXPECT_EQ(-728, retriever.read(&frame));
    retriever.close();
    for (const RecordedFile& file : untouched) EXPECT_TRUE(exists(file.path)) << file.path;
}

TEST_F(LocalRecordRetrieverTest, OpenAnswersItsCodesInTheirOrder) {
    LocalBackupRecordRetriever retriever;
    RecordInfo info = makeInfo("", kCamera, "1:2");
    EXPECT_EQ(-734, retriever.open(info));
    // The request is kept (rewritten) even though it was refused.
    EXPECT_STREQ("1-2", retriever.getRecordInfo().getDeviceIP());
    EXPECT_EQ(-734, retriever.open(makeInfo(kDevice, 0, kIP)));

    // No policy for the device: the line is printed only with the print flag.
    info = makeInfo("unknown", kCamera, kIP);
    EXPECT_EQ("", printed([&] { EXPECT_EQ(-708, retriever.open(info)); }));
    GlobalEnv::getInstance()->setPrintFlag(1);
    EXPECT_EQ("LocalBackupRecordRetriever DirList is empty\n",
              printed([&] { EXPECT_EQ(-708, retriever.open(info)); }));
    GlobalEnv::getInstance()->setPrintFlag(0);
    // A policy whose group has no local directory.
    EXPECT_EQ(-708, retriever.open(makeInfo("other", kCamera, kIP)));

    // Directories but no device folder yet, except on a raw removable disk,
    // which is never searched for device folders.
    RecordDirInfoEx raw = addDir("raw", kGroup, RecordDirInfoEx::kAttributeLocal, 2, 0);
    RecordedFile onRaw = record(raw, utcMs(2026, 3, 6, 0, 0, 0), 704, 576, 1, 2, 20);
    EXPECT_EQ(-735, retriever.open(m_request));
    EXPECT_TRUE(exists(onRaw.path));
    std::filesystem::remove_all(raw.getRecordRootDir() + "/record");

    // A device folder whose only file is still being recorded.
    LocalRecorder recorder(m_dirA, kDevice, kIP, kCamera);
    ASSERT_EQ(0, recorder.startFile(utcMs(2026, 3, 6, 0, 0, 0), AVStreamInfo()));
    std::string packet(188, '\x47');
    ASSERT_EQ(0, recorder.addNode(packet.data(), 188, utcMs(2026, 3, 6, 0, 0, 0), 40, true));
    EXPECT_EQ(-728, retriever.open(m_request));
    ASSERT_EQ(0, recorder.finishFile());
    EXPECT_EQ(0, retriever.open(m_request));
    EXPECT_EQ(0, retriever.close());
}

TEST_F(LocalRecordRetrieverTest, FileShorterThanItsIndexIsPassedOverAndKept) {
    RecordedFile broken = record(m_dirA, utcMs(2026, 3, 7, 0, 0, 0), 704, 576, 1, 4, 6);
    RecordedFile next = record(m_dirB, utcMs(2026, 3, 7, 0, 1, 0), 704, 576, 1, 4, 7);
    ASSERT_EQ(0, ::truncate(broken.path.c_str(), 188 * 3));

    // The short file is passed over, so it neither stalls the files after it
    // nor gets deleted.
    readOnly(next);
    EXPECT_TRUE(exists(broken.path));
    EXPECT_FALSE(exists(next.path));
    EXPECT_EQ(1u, listed({m_dirA, m_dirB}).size());
    EXPECT_TRUE(m_log.contains("shorter than its index"));

    // Should a short file still be opened, it fails before a frame is read
    // and is not taken for an exhausted one.
    LocalBackupRecordRetriever local;
    ASSERT_EQ(-728, local.open(m_request));
    SafePointer<RecordFileInfo> info(new RecordFileInfo(broken.info));
    TSAVData frame;
    EXPECT_EQ(-705, local.openFile(info));
    EXPECT_EQ(-705, local.getTSInfo(&frame));
    EXPECT_TRUE(exists(broken.path));
}

TEST_F(LocalRecordRetrieverTest, FileWithCorruptIndexIsPassedOverAndKept) {
    RecordedFile corrupt = record(m_dirA, utcMs(2026, 3, 8, 0, 0, 0), 704, 576, 1, 4, 8);
    RecordedFile good = record(m_dirA, utcMs(2026, 3, 9, 0, 0, 0), 704, 576, 1, 3, 9);
    // Garble the whole day index of the first file.
    const std::string index =
        RecordIndexFile::pathOf(corrupt.path.substr(0, corrupt.path.rfind('/')));
    {
        std::fstream stream(index, std::ios::in | std::ios::out | std::ios::binary);
        stream.seekp(0, std::ios::end);
        const long long size = stream.tellp();
        ASSERT_GT(size, 16);
        for (long long at = 4; at < size; at += 7) {
            stream.seekp(at);
            stream.put('\x5a');
        }
    }
    readOnly(good);
    EXPECT_FALSE(exists(good.path));
    EXPECT_TRUE(exists(corrupt.path));
    EXPECT_TRUE(m_log.contains("record.idx"));
}

TEST_F(LocalRecordRetrieverTest, ReadFailingMidFileKeepsTheFileUntilItIsReadToItsEnd) {
    RecordedFile file = record(m_dirA, utcMs(2026, 3, 10, 0, 0, 0), 704, 576, 1, 5, 10);
    // The data stream dries up in the middle of the third frame.
    m_fs.failReadsOf(file.path, file.frames[0].data.size() + file.frames[1].data.size() + 100);
    BackupRecordRetriever retriever(true);
    ASSERT_EQ(0, retriever.open(m_request));
    TSAVData frame;
    ASSERT_EQ(0, retriever.read(&frame));
    ASSERT_EQ(0, retriever.read(&frame));
    EXPECT_EQ(-1, retriever.read(&frame));
    retriever.close();
    EXPECT_TRUE(exists(file.path));
    EXPECT_EQ(1u, listed({m_dirA}).size());

    // Reopened, the same file is read again from its first frame.
    m_fs.failReadsOf("", 0);
    ASSERT_EQ(0, retriever.open(m_request));
    readAll(retriever, file);
    EXPECT_TRUE(exists(file.path));
    EXPECT_EQ(-728, retriever.read(&frame));
    EXPECT_FALSE(exists(file.path));
    retriever.close();
}

TEST_F(LocalRecordRetrieverTest, DeleteFileUsesTheDiskManagerWhenTheRecycleBinCannot) {
    RecordedFile first = record(m_dirA, utcMs(2026, 3, 11, 0, 0, 0), 704, 576, 1, 2, 11);
    RecordedFile second = record(m_dirA, utcMs(2026, 3, 11, 0, 1, 0), 704, 576, 1, 2, 12);
    RecordedFile third = record(m_dirA, utcMs(2026, 3, 11, 0, 2, 0), 704, 576, 1, 2, 13);
    const char kTag[] = "backup/LocalBackupRecordRetriever.cpp";
    const long tagged = tagNewCount(kTag);
    LocalBackupRecordRetriever retriever;
    EXPECT_EQ(tagged + 1, tagNewCount(kTag));  // the empty file description

    // Recycle bin refuses: the disk manager removes the file, and the entry goes.
    m_fs.failRecycle = true;
    retriever.deleteFile(first.info);
    EXPECT_EQ(tagged + 2, tagNewCount(kTag));  // the recycle bin of the call
    EXPECT_FALSE(exists(first.path));
    std::vector<std::string> recycled;
    EXPECT_EQ(0, m_fs.list(m_dirA.getRecordRootDir() + "/record/.recycle", recycled));
    EXPECT_TRUE(recycled.empty());
    EXPECT_EQ(
        (std::set<std::string>{second.info.getRecordFileName(), third.info.getRecordFileName()}),
        listed({m_dirA}));

    // Neither can remove it: the index is not touched.
    m_fs.failUnlink = true;
    retriever.deleteFile(second.info);
    EXPECT_TRUE(exists(second.path));
    EXPECT_EQ(2u, listed({m_dirA}).size());

    // Removed, but the day index cannot be opened: the entry stays.
    m_fs.failRecycle = m_fs.failUnlink = false;
    m_fs.failOpenSuffix = "/record.idx";
    retriever.deleteFile(third.info);
    m_fs.failOpenSuffix.clear();
    EXPECT_FALSE(exists(third.path));
    EXPECT_EQ(2u, listed({m_dirA}).size());

    // Deleting a file that is gone already changes nothing.
    retriever.deleteFile(first.info);
    EXPECT_EQ(2u, listed({m_dirA}).size());
}

TEST_F(LocalRecordRetrieverTest, FileWithoutNodesReachedBySwitchAnswersMinus101AndStays) {
    RecordedFile file = record(m_dirA, utcMs(2026, 3, 12, 0, 0, 0), 704, 576, 1, 2, 14);
    // A complete file that lists no node, right after the first.
    const std::string dayDir = file.path.substr(0, file.path.rfind('/'));
    RecordIndexEntry empty;
    empty.fileName = "empty.ts";
    empty.beginTime = file.info.getRecordEndTime() + 1000;
    empty.endTime = empty.beginTime + 1000;
    empty.state = RecordFileInfo::kStateComplete;
    std::ofstream(dayDir + "/empty.ts").close();
    {
        const std::string index = RecordIndexFile::pathOf(dayDir);
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(index));
        ASSERT_EQ(0, RecordIndexFile::appendFile(m_fs, index, empty, true));
    }
    BackupRecordRetriever retriever(true);
    ASSERT_EQ(0, retriever.open(m_request));
    readAll(retriever, file);
    TSAVData frame;
    EXPECT_EQ(-101, retriever.read(&frame));
    retriever.close();
    EXPECT_FALSE(exists(file.path));
    EXPECT_TRUE(exists(dayDir + "/empty.ts"));
    EXPECT_EQ(std::set<std::string>{"empty.ts"}, listed({m_dirA}));
}

TEST_F(LocalRecordRetrieverTest, RawReadsUnderADashedIPAndLocateBeginFilePos) {
    LocalBackupRecordRetriever retriever;
    std::vector<char> buffer(3 << 20);
    EXPECT_EQ(-702, retriever.readTSData(buffer.data(), 10));
    EXPECT_EQ(0, retriever.close());

    // An IP with colons is read under its dashed folder; one read asks the
    // stream for at most 1 MiB. Early in 1970, so that a range begin (seconds)
    // can fall inside the file (milliseconds): nodes at offsets 0, 40, 80.
    const char ip[] = "fe80::12:1";
    RecordedFile file = record(m_dirA, 1000, 704, 576, 1, 3, 15, ip, kCamera, 0, 2 << 20);
    EXPECT_NE(std::string::npos, file.path.find("/cam-07_fe80--12-1_1/")) << file.path;
    RecordInfo info = makeInfo(kDevice, kCamera, ip);
    ASSERT_EQ(0, retriever.open(info));
    EXPECT_STREQ("fe80--12-1", retriever.getRecordInfo().getDeviceIP());
    TSAVData frame;
    ASSERT_EQ(188, retriever.getTSInfo(&frame));
    ASSERT_EQ(188, retriever.readTSData(buffer.data(), 188));
    EXPECT_EQ(0, std::memcmp(file.frames[0].data.data(), buffer.data(), 188));
    ASSERT_EQ(2 << 20, retriever.getTSInfo(&frame));
    EXPECT_EQ(1000 + 40, frame.getTimeStamp());
    EXPECT_EQ(1048576, retriever.readTSData(buffer.data(), 2 << 20));
    EXPECT_EQ(1048576, retriever.readTSData(buffer.data() + 1048576, 2 << 20));
    EXPECT_EQ(0, std::memcmp(file.frames[1].data.data(), buffer.data(), 2 << 20));
    ASSERT_EQ(564, retriever.getTSInfo(&frame));
    EXPECT_EQ(564, retriever.readTSData(buffer.data(), 564));
    EXPECT_TRUE(exists(file.path));
    EXPECT_EQ(-728, retriever.getTSInfo(&frame));
    EXPECT_FALSE(exists(file.path));
    EXPECT_TRUE(listed({m_dirA}, ip).empty());

    RecordedFile again = record(m_dirA, 1000, 704, 576, 1, 3, 16, ip);
    for (unsigned begin : {500u, 1040u, 1041u}) {
        info.setRecordBeginTime(begin);
        ASSERT_EQ(0, retriever.open(info));
        EXPECT_EQ(begin == 500 ? 0 : begin == 1040 ? 1 : 2, retriever.locateBeginFilePos());
    }
    EXPECT_EQ(0, retriever.close());
}

}  // namespace
