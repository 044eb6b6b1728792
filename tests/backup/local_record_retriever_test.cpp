// The local retriever on the real record library, over record directories in
// a temporary folder: what is read, in which order, with which attributes,
// and when each record file leaves the disk and its day index.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "BackupRecordRetriever.h"
#include "BasicTool.h"
#include "FileSystem.h"
#include "GlobalEnv.h"
#include "LocalBackupRecordRetriever.h"
#include "LocalRecorder.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordIndexFile.h"
#include "RecordInfo.h"
#include "RecorderConfig.h"
#include "RefCountManager.h"
#include "RetrieverFileQuery.h"
#include "Singlton.h"
#include "TSAVData.h"
#include "TagNew.h"

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
    int width;
    int height;
    int encoder;
};

struct RecordedFile {
    RecordFileInfo info;
    std::string path;
    std::vector<Frame> frames;
};

// Fails reads of chosen data files after a byte budget, and renames into a
// recycle area or unlinks when told to; everything else goes to disk.
class FaultyFileSystem : public FileSystemWrapper {
  public:
    FaultyFileSystem() : FileSystemWrapper(posixFileSystem()) {}

    int open(const std::string& path, int mode, int& fd) override {
        if (m_failOpenSuffix.size() > 0 && path.size() >= m_failOpenSuffix.size() &&
            path.compare(path.size() - m_failOpenSuffix.size(), std::string::npos,
                         m_failOpenSuffix) == 0) {
            return -707;
        }
        int r = FileSystemWrapper::open(path, mode, fd);
        std::lock_guard<std::mutex> guard(m_lock);
        if (r == 0 && path == m_readFaultPath) m_faultyFd = fd;
        return r;
    }
    int read(int fd, char* buffer, int count) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (fd == m_faultyFd) {
                if (m_readBudget <= 0) return 0;
                if (count > m_readBudget) count = static_cast<int>(m_readBudget);
                m_readBudget -= count;
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
        if (m_failRecycle && to.find("/.recycle/") != std::string::npos) return -707;
        return FileSystemWrapper::rename(from, to);
    }
    int unlink(const std::string& path) override {
        if (m_failUnlink) return -707;
        return FileSystemWrapper::unlink(path);
    }

    void failReadsOf(const std::string& path, long long budget) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_readFaultPath = path;
        m_readBudget = budget;
    }
    void healReads() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_readFaultPath.clear();
        m_faultyFd = -1;
    }

    bool m_failRecycle = false;
    bool m_failUnlink = false;
    std::string m_failOpenSuffix;

  private:
    std::mutex m_lock;
    std::string m_readFaultPath;
    long long m_readBudget = 0;
    int m_faultyFd = -1;
};

class LocalRecordRetrieverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/retriever-test-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        m_root = pattern;
        Logger::setObserver([this](const std::string& category, const std::string& message,
                                   const std::string&, int) {
            std::lock_guard<std::mutex> guard(m_logLock);
            m_log.push_back(category + ": " + message);
        });
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
        Logger::setObserver(Logger::Observer());
        GlobalEnv::getInstance()->setPrintFlag(0);
        EXPECT_EQ(m_liveRecords, RefCountManager::getInstance()->liveCount());
        std::string command = "rm -rf '" + m_root + "'";
        EXPECT_EQ(0, std::system(command.c_str()));
    }

    RecordDirInfoEx addDir(const std::string& name, int group, int attribute, int diskType = 1,
                           int format = 1) {
        RecordDirInfoEx dir = makeRecordDir(m_root + "/" + name, attribute, group);
        dir.setDiskType(diskType);
        dir.setFileSystemFormat(format);
        EXPECT_EQ(0, ::mkdir(dir.getRecordRootDir().c_str(), 0755));
        if (attribute == RecordDirInfoEx::kAttributeLocal) {
            m_config.recordDirs.push_back(dir);
        } else {
            m_config.backupDirs.push_back(dir);
        }
        RecordDiskManagerImpl::setConfiguration(m_config);
        return dir;
    }

    // Records `nodes` frames into one complete file. Node i is 188*(1+i%3)
    // bytes (or `bigNode` bytes for node 1 when given), 40 ms apart; node 0
    // lies `firstOffset` ms from the file's begin (negative: before it).
    RecordedFile record(const RecordDirInfoEx& dir, long long beginMs, int width, int height,
                        int encoder, int nodes, int seed, const char* deviceId = kDevice,
                        const char* ip = kIP, int camera = kCamera, int firstOffset = 0,
                        int bigNode = 0) {
        RecordedFile file;
        LocalRecorder recorder(dir, deviceId, ip, camera);
        AVStreamInfo stream;
        stream.setImageWidth(width);
        stream.setImageHeight(height);
        stream.setEncoderType(encoder);
        stream.setESStreamType(1);
        EXPECT_EQ(0, recorder.startFile(beginMs, stream));
        for (int i = 0; i < nodes; ++i) {
            Frame frame;
            int length = (bigNode > 0 && i == 1) ? bigNode : 188 * (1 + i % 3);
            frame.data.resize(length);
            for (int b = 0; b < length; ++b) {
                frame.data[b] = b % 188 == 0 ? 0x47 : static_cast<char>((b * 31 + seed * 7 + i));
            }
            frame.timeStamp = beginMs + firstOffset + 40LL * i;
            frame.timeLen = 40 + i;
            frame.iFrame = i % 3 == 0;
            frame.width = width;
            frame.height = height;
            frame.encoder = encoder;
            EXPECT_EQ(0, recorder.addNode(frame.data.data(), length, frame.timeStamp, frame.timeLen,
                                          frame.iFrame));
            file.frames.push_back(frame);
        }
        EXPECT_EQ(0, recorder.finishFile());
        file.info = recorder.currentFile();
        file.path = file.info.createRecordFileName();
        EXPECT_TRUE(exists(file.path)) << file.path;
        return file;
    }

    RecordInfo request(const char* ip = kIP) const {
        RecordInfo info;
        info.setDeviceId(kDevice);
        info.setDeviceIP(ip);
        info.setCameraId(kCamera);
        info.setRecordBeginTime(0);
        info.setRecordEndTime(0);
        return info;
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

    void expectFrame(const Frame& expected, const TSAVData& frame, const std::string& where) {
        SCOPED_TRACE(where);
        ASSERT_EQ(static_cast<int>(expected.data.size()), frame.getDataLength());
        EXPECT_EQ(0, std::memcmp(expected.data.data(), frame.getData(), expected.data.size()));
        EXPECT_EQ(expected.timeStamp, frame.getTimeStamp());
        EXPECT_EQ(expected.timeLen, frame.getDataTimeLength());
        EXPECT_EQ(expected.iFrame ? 1 : 2, frame.getFrameType());
        EXPECT_EQ(expected.width, frame.getImageWidth());
        EXPECT_EQ(expected.height, frame.getImageHeight());
        EXPECT_EQ(expected.encoder, frame.getEncoderType());
        EXPECT_EQ(1, frame.getESStreamType());
    }

    bool logged(const std::string& text) {
        std::lock_guard<std::mutex> guard(m_logLock);
        for (const std::string& line : m_log) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    std::string m_root;
    FaultyFileSystem m_fs;
    RecorderConfig m_config;
    RecordDirInfoEx m_dirA;
    RecordDirInfoEx m_dirB;
    std::mutex m_logLock;
    std::vector<std::string> m_log;
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
        record(m_dirA, early + 3000, 320, 240, 1, 3, 93, kDevice, kIP, 2),  // camera 2
    };

    const long long day1 = utcMs(2026, 3, 1, 23, 58, 0);
    const long long day2 = utcMs(2026, 3, 2, 0, 0, 30);
    // Recorded out of time order, so the order read cannot be that of writing.
    std::vector<RecordedFile> files(4);
    files[2] = record(m_dirA, day2, 704, 576, 1, 4, 3);
    files[0] = record(m_dirA, day1, 1920, 1080, 1, 5, 1, kDevice, kIP, kCamera, -40);
    files[3] =
        record(m_dirB, day2 + 60000, 640, 480, 2, 3, 4, kDevice, kIP, kCamera, 0, 1500 * 1024);
    files[1] = record(m_dirB, day1 + 60000, 1280, 720, 2, 4, 2);
    ASSERT_NE(files[0].info.getRecordDate(), files[2].info.getRecordDate());

    BackupRecordRetriever retriever(true);
    ASSERT_EQ(0, retriever.open(request()));

    TSAVData frame;
    for (size_t f = 0; f < files.size(); ++f) {
        for (size_t n = 0; n < files[f].frames.size(); ++n) {
            const std::string where = "file " + std::to_string(f) + " frame " + std::to_string(n);
            ASSERT_EQ(0, retriever.read(&frame)) << where;
            expectFrame(files[f].frames[n], frame, where);
            // Every earlier file is gone from disk and index; this one and
            // every later one, even after its last frame, is still there.
            std::set<std::string> names = listed({m_dirA, m_dirB});
            for (size_t g = 0; g < files.size(); ++g) {
                const bool kept = g >= f;
                EXPECT_EQ(kept, exists(files[g].path)) << where << ", file " << g;
                EXPECT_EQ(kept, names.count(files[g].info.getRecordFileName()) == 1)
                    << where << ", file " << g;
            }
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

TEST_F(LocalRecordRetrieverTest, DeviceIPWithColonsIsReadUnderItsDashedDirectory) {
    const char ip[] = "fe80::12:1";
    RecordedFile file = record(m_dirA, utcMs(2026, 3, 5, 8, 0, 0), 1280, 720, 2, 3, 5, kDevice, ip);
    EXPECT_NE(std::string::npos, file.path.find("/cam-07_fe80--12-1_1/")) << file.path;

    LocalBackupRecordRetriever retriever;
    ASSERT_EQ(0, retriever.open(request(ip)));
    EXPECT_STREQ("fe80--12-1", retriever.getRecordInfo().getDeviceIP());
    EXPECT_STREQ(kDevice, retriever.getRecordInfo().getDeviceId());

    TSAVData frame;
    std::vector<char> buffer(1024);
    for (const Frame& expected : file.frames) {
        const int length = retriever.getTSInfo(&frame);
        ASSERT_EQ(static_cast<int>(expected.data.size()), length);
        ASSERT_EQ(length, retriever.readTSData(buffer.data(), length));
        EXPECT_EQ(0, std::memcmp(expected.data.data(), buffer.data(), length));
        EXPECT_EQ(expected.timeStamp, frame.getTimeStamp());
        EXPECT_TRUE(exists(file.path));
    }
    EXPECT_EQ(-728, retriever.getTSInfo(&frame));
    EXPECT_FALSE(exists(file.path));
    EXPECT_TRUE(listed({m_dirA}, ip).empty());
    EXPECT_EQ(0, retriever.close());
}

TEST_F(LocalRecordRetrieverTest, OpenAnswersItsCodesInTheirOrder) {
    LocalBackupRecordRetriever retriever;
    RecordInfo info = request("1:2");
    info.setDeviceId("");
    EXPECT_EQ(-734, retriever.open(info));
    // The request is kept (rewritten) even though it was refused.
    EXPECT_STREQ("1-2", retriever.getRecordInfo().getDeviceIP());
    info = request();
    info.setCameraId(0);
    EXPECT_EQ(-734, retriever.open(info));

    // No policy for the device: the line is printed only with the print flag.
    info = request();
    info.setDeviceId("unknown");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-708, retriever.open(info));
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    GlobalEnv::getInstance()->setPrintFlag(1);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-708, retriever.open(info));
    EXPECT_EQ("LocalBackupRecordRetriever DirList is empty\n",
              ::testing::internal::GetCapturedStdout());
    GlobalEnv::getInstance()->setPrintFlag(0);

    // A policy whose group has no local directory.
    info.setDeviceId("other");
    EXPECT_EQ(-708, retriever.open(info));

    // Directories but no device folder yet, except on a raw removable disk,
    // which is never searched for device folders.
    RecordDirInfoEx raw = addDir("raw", kGroup, RecordDirInfoEx::kAttributeLocal, 2, 0);
    RecordedFile onRaw = record(raw, utcMs(2026, 3, 6, 0, 0, 0), 704, 576, 1, 2, 20);
    EXPECT_EQ(-735, retriever.open(request()));
    EXPECT_TRUE(exists(onRaw.path));
    const std::string removeRaw = "rm -rf '" + raw.getRecordRootDir() + "/record'";
    ASSERT_EQ(0, std::system(removeRaw.c_str()));

    // A device folder whose only file is still being recorded.
    {
        LocalRecorder recorder(m_dirA, kDevice, kIP, kCamera);
        ASSERT_EQ(0, recorder.startFile(utcMs(2026, 3, 6, 0, 0, 0), AVStreamInfo()));
        std::string packet(188, '\x47');
        ASSERT_EQ(0, recorder.addNode(packet.data(), 188, utcMs(2026, 3, 6, 0, 0, 0), 40, true));
        EXPECT_EQ(-728, retriever.open(request()));
        ASSERT_EQ(0, recorder.finishFile());
        EXPECT_EQ(0, retriever.open(request()));
    }
    EXPECT_EQ(0, retriever.close());
}

TEST_F(LocalRecordRetrieverTest, FileShorterThanItsIndexIsNeverReadNorDeleted) {
    RecordedFile broken = record(m_dirA, utcMs(2026, 3, 7, 0, 0, 0), 704, 576, 1, 4, 6);
    RecordedFile next = record(m_dirB, utcMs(2026, 3, 7, 0, 1, 0), 704, 576, 1, 4, 7);
    ASSERT_EQ(0, ::truncate(broken.path.c_str(), 188 * 3));

    BackupRecordRetriever retriever(true);
    EXPECT_EQ(-705, retriever.open(request()));
    TSAVData frame;
    // The walk of a file that failed to open is not taken for its end.
    EXPECT_EQ(-705, retriever.read(&frame));
    EXPECT_EQ(-705, retriever.read(&frame));
    retriever.close();
    EXPECT_TRUE(exists(broken.path));
    EXPECT_TRUE(exists(next.path));
    EXPECT_EQ(2u, listed({m_dirA, m_dirB}).size());
    EXPECT_TRUE(logged("shorter than its index"));
}

TEST_F(LocalRecordRetrieverTest, FileWithCorruptIndexIsPassedOverAndKept) {
    RecordedFile corrupt = record(m_dirA, utcMs(2026, 3, 8, 0, 0, 0), 704, 576, 1, 4, 8);
    RecordedFile good = record(m_dirA, utcMs(2026, 3, 9, 0, 0, 0), 704, 576, 1, 3, 9);
    // Garble the whole day index of the first file.
    const std::string index =
        RecordIndexFile::pathOf(corrupt.path.substr(0, corrupt.path.rfind('/')));
    {
        std::fstream stream(index, std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(stream.good());
        stream.seekp(0, std::ios::end);
        const long long size = stream.tellp();
        ASSERT_GT(size, 16);
        for (long long at = 4; at < size; at += 7) {
            stream.seekp(at);
            stream.put('\x5a');
        }
    }

    BackupRecordRetriever retriever(true);
    ASSERT_EQ(0, retriever.open(request()));
    TSAVData frame;
    for (const Frame& expected : good.frames) {
        ASSERT_EQ(0, retriever.read(&frame));
        expectFrame(expected, frame, "good file");
    }
    EXPECT_EQ(-728, retriever.read(&frame));
    retriever.close();
    EXPECT_FALSE(exists(good.path));
    EXPECT_TRUE(exists(corrupt.path));
    EXPECT_TRUE(logged("record.idx"));
}

TEST_F(LocalRecordRetrieverTest, ReadFailingMidFileKeepsTheFileUntilItIsReadToItsEnd) {
    RecordedFile file = record(m_dirA, utcMs(2026, 3, 10, 0, 0, 0), 704, 576, 1, 5, 10);
    // The data stream dries up in the middle of the third frame.
    const long long budget = file.frames[0].data.size() + file.frames[1].data.size() + 100;
    m_fs.failReadsOf(file.path, budget);

    BackupRecordRetriever retriever(true);
    ASSERT_EQ(0, retriever.open(request()));
    TSAVData frame;
    ASSERT_EQ(0, retriever.read(&frame));
    ASSERT_EQ(0, retriever.read(&frame));
    EXPECT_EQ(-1, retriever.read(&frame));
    retriever.close();
    EXPECT_TRUE(exists(file.path));
    EXPECT_EQ(1u, listed({m_dirA}).size());

    // Reopened, the same file is read again from its first frame.
    m_fs.healReads();
    ASSERT_EQ(0, retriever.open(request()));
    for (const Frame& expected : file.frames) {
        ASSERT_EQ(0, retriever.read(&frame));
        expectFrame(expected, frame, "second pass");
    }
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
    // The empty file description is a tagged allocation.
    EXPECT_EQ(tagged + 1, tagNewCount(kTag));
    const std::string recycle = m_dirA.getRecordRootDir() + "/record/.recycle";

    // Recycle bin refuses: the disk manager removes the file, and the entry goes.
    m_fs.m_failRecycle = true;
    retriever.deleteFile(first.info);
    // So is the recycle bin of each call.
    EXPECT_EQ(tagged + 2, tagNewCount(kTag));
    EXPECT_FALSE(exists(first.path));
    std::vector<std::string> recycled;
    EXPECT_EQ(0, m_fs.list(recycle, recycled));
    EXPECT_TRUE(recycled.empty());
    EXPECT_EQ(
        (std::set<std::string>{second.info.getRecordFileName(), third.info.getRecordFileName()}),
        listed({m_dirA}));

    // Neither can remove it: the index is not touched.
    m_fs.m_failUnlink = true;
    retriever.deleteFile(second.info);
    EXPECT_TRUE(exists(second.path));
    EXPECT_EQ(2u, listed({m_dirA}).size());

    // Removed, but the day index cannot be opened: the entry stays.
    m_fs.m_failRecycle = false;
    m_fs.m_failUnlink = false;
    m_fs.m_failOpenSuffix = "/record.idx";
    retriever.deleteFile(third.info);
    m_fs.m_failOpenSuffix.clear();
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
        std::lock_guard<std::mutex> guard(
            RecordIndexFile::lockFor(RecordIndexFile::pathOf(dayDir)));
        ASSERT_EQ(0,
                  RecordIndexFile::appendFile(m_fs, RecordIndexFile::pathOf(dayDir), empty, true));
    }

    BackupRecordRetriever retriever(true);
    ASSERT_EQ(0, retriever.open(request()));
    TSAVData frame;
    ASSERT_EQ(0, retriever.read(&frame));
    ASSERT_EQ(0, retriever.read(&frame));
    EXPECT_EQ(-101, retriever.read(&frame));
    retriever.close();
    EXPECT_FALSE(exists(file.path));
    EXPECT_TRUE(exists(dayDir + "/empty.ts"));
    EXPECT_EQ(std::set<std::string>{"empty.ts"}, listed({m_dirA}));
}

TEST_F(LocalRecordRetrieverTest, ReadTSDataAndLocateBeginFilePos) {
    LocalBackupRecordRetriever retriever;
    std::vector<char> buffer(3 << 20);
    EXPECT_EQ(-702, retriever.readTSData(buffer.data(), 10));
    EXPECT_EQ(0, retriever.close());

    // Early in 1970, so that a range begin (seconds) can fall inside the file
    // (milliseconds): nodes at offsets 0, 40, 80.
    RecordedFile file = record(m_dirA, 1000, 704, 576, 1, 3, 15, kDevice, kIP, kCamera, 0, 2 << 20);
    RecordInfo info = request();
    info.setRecordBeginTime(500);
    ASSERT_EQ(0, retriever.open(info));
    EXPECT_EQ(0, retriever.locateBeginFilePos());
    info.setRecordBeginTime(1040);
    ASSERT_EQ(0, retriever.open(info));
    EXPECT_EQ(1, retriever.locateBeginFilePos());
    info.setRecordBeginTime(1041);
    ASSERT_EQ(0, retriever.open(info));
    EXPECT_EQ(2, retriever.locateBeginFilePos());

    // One read asks the stream for at most 1 MiB.
    info.setRecordBeginTime(0);
    ASSERT_EQ(0, retriever.open(info));
    TSAVData frame;
    ASSERT_EQ(188, retriever.getTSInfo(&frame));
    ASSERT_EQ(188, retriever.readTSData(buffer.data(), 188));
    ASSERT_EQ(2 << 20, retriever.getTSInfo(&frame));
    EXPECT_EQ(1048576, retriever.readTSData(buffer.data(), 2 << 20));
    EXPECT_EQ(1048575, retriever.readTSData(buffer.data(), 1048575));
    EXPECT_EQ(0, retriever.close());
}

}  // namespace
