// Whole moves on the reference host: recordings of the synthetic camera in
// temporary record directories, moved by jobs of the manager on a sped-up
// clock. Every recorded node must arrive on the backup disk once and in order
// (told apart by its absolute time and length), and no local file may remain.
#include <algorithm>
#include <thread>

#include "../recordlib/RecordTestSupport.h"
#include "BackupService.h"
#include "BackupServiceManager.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "LocalBackupRecordRetriever.h"
#include "RecordDiskManagerImpl.h"
#include "SyntheticCamera.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/BackupRecordWriter.h"
#include "store/FileSystem.h"
#include "store/RecordRecovery.h"

using namespace backup_test;
namespace fs = std::filesystem;

namespace {

const long long kBegin = 1700000000000LL;  // ms since the epoch
using Node = std::pair<long long, int>;    // absolute time (ms), length

// Counts the disk manager's looks at the backup root and signals each one.
class WatchingFileSystem : public FileSystemWrapper {
  public:
    explicit WatchingFileSystem(const std::string& root)
        : FileSystemWrapper(posixFileSystem()), m_root(root) {}
    int stat(const std::string& path, FileStat& st) override {
        if (path.rfind(m_root, 0) == 0) logEvent("look");
        return FileSystemWrapper::stat(path, st);
    }
    int freeSpace(const std::string& path, long long& bytes) override {
        if (path.rfind(m_root, 0) == 0) logEvent("look");
        return FileSystemWrapper::freeSpace(path, bytes);
    }

  private:
    std::string m_root;
};

class ServiceMoveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RecorderConfig config;
        for (const char* name : {"local1", "local2", "backup"}) {
            fs::create_directories(m_tmp.path + "/" + name);
        }
        std::string diskId;
        ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), m_tmp.path + "/backup", diskId));
        config.recordDirs =
            m_local = {makeRecordDir(m_tmp.path + "/local1", RecordDirInfoEx::kAttributeLocal),
                       makeRecordDir(m_tmp.path + "/local2", RecordDirInfoEx::kAttributeLocal)};
        config.backupDirs =
            m_backup = {makeRecordDir(m_tmp.path + "/backup", RecordDirInfoEx::kAttributeBackup)};
        for (int c = 0; c < 3; ++c) config.policies.push_back({device(c), camera(c), 1});
        RecordDiskManagerImpl::setConfiguration(config);
        TaliqTime::setClockSpeed(0);
        takeEvents();
    }
    void TearDown() override {
        RecordDiskManagerImpl::setFileSystem(nullptr);
        TaliqTime::setClockSpeed(1);
    }

    static std::string device(int c) { return c < 2 ? "dev1" : "dev2"; }
    static int camera(int c) { return c == 1 ? 2 : 1; }

    void record(int c, int dir, double seconds, long long begin, bool sizeChange = false) {
        SyntheticCamera camera(m_local[dir], device(c), "10.1.1.1", this->camera(c));
        SyntheticStreamOptions options;
        options.audio = false;
        if (sizeChange) options.changeAtSeconds = seconds / 2;
        ASSERT_GT(camera.record(options, seconds, begin, 8), 0);
    }
    std::vector<ReadFile> files(const std::vector<RecordDirInfoEx>& dirs, int c, bool read) {
        const std::set<std::string> deviceDir = {
            BasicTool::getDeviceDirString(device(c), "10.1.1.1", camera(c))};
        if (read) return readRecordFiles(dirs, deviceDir, false);
        // Only listed: a running job may delete them meanwhile.
        RetrieverFileQuery query;
        query.setRecordDirInfo(dirs);
        query.setDeviceList(deviceDir);
        std::vector<RecordFileInfo> infos;
        query.listRecordFiles(infos, true);
        return std::vector<ReadFile>(infos.size());
    }
    std::vector<Node> nodes(const std::vector<RecordDirInfoEx>& dirs, int c) {
        std::vector<Node> out;
        for (const ReadFile& f : files(dirs, c, true)) {
            for (size_t k = 0; k < f.nodes.size(); ++k) {
                out.push_back({f.times[k], f.nodes[k].getDataLen()});
            }
        }
        return out;
    }
    // Runs jobs for `cameras` until their nodes are on the backup disk and
    // none is left locally (bounded; the clock is sped up), then unInit.
    bool move(const std::map<int, std::vector<Node>>& expected) {
        BackupServiceManager* manager = BackupServiceManager::getInstance();
        manager->init();
        for (const auto& e : expected) {
            EXPECT_EQ(
                0, manager->addService(0, makeInfo(device(e.first), camera(e.first), "10.1.1.1")));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        bool done = false;
        while (!done && std::chrono::steady_clock::now() < deadline) {
            done = true;
            for (const auto& e : expected) {
                done = done && files(m_local, e.first, false).empty() &&
                       nodes(m_backup, e.first).size() >= e.second.size();
            }
            std::this_thread::yield();
        }
        manager->unInit();  // closes the last backup file of every job
        return done;
    }

    // Waits (bounded; the clock is sped up) until `done` holds.
    static bool waitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }
    // Data files below <root>/record, the recycle area left out.
    static size_t dataFiles(const std::string& root) {
        size_t n = 0;
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(root + "/record", ec)) {
            const std::string p = e.path().string();
            if (e.path().extension() == ".ts" && p.find("/.recycle") == std::string::npos) ++n;
        }
        return n;
    }
    // The backup directory with another file segment size.
    void setBackupSegment(long long bytes) {
        RecorderConfig config;
        config.recordDirs = m_local;
        m_backup[0].setFileSegmentSize(bytes);
        config.backupDirs = m_backup;
        for (int c = 0; c < 3; ++c) config.policies.push_back({device(c), camera(c), 1});
        RecordDiskManagerImpl::setConfiguration(config);
    }

    TempDir m_tmp;
    std::vector<RecordDirInfoEx> m_local, m_backup;
};

TEST_F(ServiceMoveTest, SeveralJobsMoveEveryFrameOnceInOrder) {
    record(0, 0, 30, kBegin);
    record(1, 1, 30, kBegin, true);  // picture size changes half way
    record(2, 0, 16, kBegin);
    record(2, 1, 16, kBegin + 20000);
    std::map<int, std::vector<Node>> expected;
    for (int c = 0; c < 3; ++c) {
        expected[c] = nodes(m_local, c);
        ASSERT_GT(expected[c].size(), 20u);
    }
    ASSERT_TRUE(move(expected));
    for (int c = 0; c < 3; ++c) {
        EXPECT_TRUE(files(m_local, c, true).empty());
        EXPECT_EQ(expected[c], nodes(m_backup, c)) << c;
    }
    EXPECT_GE(files(m_backup, 1, true).size(), 2u);  // the size change starts a new file
}

TEST_F(ServiceMoveTest, BackupDirectoryAppearingLaterAndUnInitMidMoveLoseNothing) {
    record(0, 0, 40, kBegin);
    const std::vector<Node> expected = nodes(m_local, 0);
    const size_t filesBefore = files(m_local, 0, false).size();
    ASSERT_GE(filesBefore, 3u);
    fs::remove_all(m_backup[0].getRecordRootDir());
    WatchingFileSystem watching(m_backup[0].getRecordRootDir());
    RecordDiskManagerImpl::setFileSystem(&watching);
    TaliqTime::setClockSpeed(1000);  // the job retries its write every 2 ms

    BackupServiceManager* manager = BackupServiceManager::getInstance();
    manager->init();
    ASSERT_EQ(0, manager->addService(0, makeInfo("dev1", 1, "10.1.1.1")));
    // The job has looked for the backup directory several times and deleted
    // nothing meanwhile.
    ASSERT_TRUE(waitForEvents([](const std::vector<std::string>& e) { return e.size() >= 5; }));
    EXPECT_EQ(expected, nodes(m_local, 0));

    // Once the directory is there, stop while the job is between files.
    fs::create_directories(m_backup[0].getRecordRootDir());
    std::string diskId;
    ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), m_backup[0].getRecordRootDir(), diskId));
    TaliqTime::setClockSpeed(0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    size_t left = filesBefore;
    while (left == filesBefore && std::chrono::steady_clock::now() < deadline) {
        left = files(m_local, 0, false).size();
        std::this_thread::yield();
    }
    manager->unInit();
    ASSERT_LT(left, filesBefore);

    ASSERT_TRUE(move({{0, expected}}));
    // Every node arrived, in order within each backup file; the file that was
    // being read when the job stopped may have arrived twice.
    std::set<Node> distinct;
    for (const ReadFile& f : files(m_backup, 0, true)) {
        for (size_t k = 0; k < f.nodes.size(); ++k) {
            distinct.insert({f.times[k], f.nodes[k].getDataLen()});
            if (k > 0) {
                EXPECT_LT(f.times[k - 1], f.times[k]);
            }
        }
    }
    EXPECT_EQ(std::set<Node>(expected.begin(), expected.end()), distinct);
}

// A camera removed and added again before the stop thread has reached its
// old job (the stop thread is held stopped, as in its idle wait): the two
// jobs never read one record file together, so every node arrives once. And
// a removal followed at once by unInit, the host's shutdown: the removed job
// is stopped by unInit, and its last backup file is complete.
TEST_F(ServiceMoveTest, RemovedJobNeverMovesBesideTheCamerasNextJobAndStopsAtUnInit) {
    struct Row {
        const char* name;
        bool addAgain;
    };
    const Row rows[] = {{"removed and added again", true}, {"removed, then unInit", false}};
    const RecordInfo info = makeInfo(device(0), camera(0), "10.1.1.1");
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(m_tmp.path + "/local1/record");
        fs::remove_all(m_tmp.path + "/backup/record");
        record(0, 0, 40, kBegin);
        std::vector<Node> expected = nodes(m_local, 0);
        const size_t filesBefore = files(m_local, 0, false).size();
        ASSERT_GE(filesBefore, 4u);
        TaliqTime::setClockSpeed(100);

        manager->init();
        manager->getStopThread().stop();
        ASSERT_EQ(0, manager->addService(0, info));
        SafePointer<BackupService> removed;
        ASSERT_TRUE(manager->findService(info, removed));
        ASSERT_TRUE(waitUntil([&] { return files(m_local, 0, false).size() < filesBefore; }));
        ASSERT_EQ(0, manager->removeService(info));
        if (row.addAgain) {
            ASSERT_EQ(0, manager->addService(0, info));
            ASSERT_TRUE(waitUntil([&] {
                return files(m_local, 0, false).empty() &&
                       nodes(m_backup, 0).size() >= expected.size();
            }));
        }
        manager->unInit();
        EXPECT_EQ(0, removed->isRunning());
        EXPECT_EQ(0, manager->getStopThread().getQueuedCount());

        // No backup file is left "being recorded" (such a file is never
        // listed), and no node arrived twice.
        EXPECT_EQ(dataFiles(m_backup[0].getRecordRootDir()), files(m_backup, 0, true).size());
        std::vector<Node> arrived = nodes(m_backup, 0);
        std::sort(arrived.begin(), arrived.end());
        EXPECT_EQ(0u, arrived.size() - std::set<Node>(arrived.begin(), arrived.end()).size())
            << "nodes that arrived twice";
        if (!row.addAgain) {
            // What did not arrive is still on the local disk.
            for (const Node& n : nodes(m_local, 0)) arrived.push_back(n);
            std::sort(arrived.begin(), arrived.end());
            arrived.erase(std::unique(arrived.begin(), arrived.end()), arrived.end());
        }
        EXPECT_EQ(expected, arrived);
        TaliqTime::setClockSpeed(0);
    }
}

// Calls a hook once, at the first stat or mkdir after the data file at
// `path` was closed: inside the job's switch from that file to the next,
// after the file was read to its end and before its removal is asked.
class SwitchFileSystem : public FileSystemWrapper {
  public:
    SwitchFileSystem(std::string path, std::function<void()> hook)
        : FileSystemWrapper(posixFileSystem()), m_path(std::move(path)), m_hook(std::move(hook)) {}
    int open(const std::string& path, int mode, int& fd) override {
        const int r = FileSystemWrapper::open(path, mode, fd);
        if (r == 0 && path == m_path) m_fd = fd;
        return r;
    }
    int close(int fd) override {
        if (fd == m_fd) m_armed = true;
        return FileSystemWrapper::close(fd);
    }
    int stat(const std::string& path, FileStat& st) override {
        fire();
        return FileSystemWrapper::stat(path, st);
    }
    int mkdir(const std::string& path) override {
        fire();
        return FileSystemWrapper::mkdir(path);
    }

  private:
    void fire() {
        if (!m_armed || !m_hook) return;
        std::function<void()> hook;
        hook.swap(m_hook);
        hook();
    }
    std::string m_path;
    std::function<void()> m_hook;
    int m_fd = -1;
    bool m_armed = false;
};

// A reader of the camera that asks while the job switches from a file it has
// read to its end to the next one finds the file still held: it cannot take
// it up again between the read and the removal.
TEST_F(ServiceMoveTest, FileReadToItsEndIsHeldUntilItsRemovalWasAsked) {
    record(0, 0, 16, kBegin);
    const std::vector<ReadFile> local = files(m_local, 0, true);
    ASSERT_EQ(2u, local.size());
    const RecordInfo info = makeInfo(device(0), camera(0), "10.1.1.1");
    int other = 1;
    SwitchFileSystem switching(local[0].info.createRecordFileName(), [&] {
        LocalBackupRecordRetriever reader;
        other = reader.open(info);
        reader.close();
    });
    RecordDiskManagerImpl::setFileSystem(&switching);
    BackupService job(0, info);
    for (int i = 0; i < 100 && other == 1; ++i) job.backupRecord();
    EXPECT_EQ(kRecordOpenFailed, other);
    RecordDiskManagerImpl::setFileSystem(nullptr);
}

// True when the packets before the first video PES of `data` hold a PAT and,
// after it, the PMT that the PAT names: a decoder can start there.
bool patAndPmtFirst(const char* data, size_t length) {
    int pmtPid = -1;
    bool pmt = false;
    for (size_t off = 0; off + 188 <= length; off += 188) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(data + off);
        const int pid = ((p[1] & 0x1F) << 8) | p[2];
        if ((p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) continue;  // no payload start
        const unsigned char* payload = p + 4 + ((p[3] & 0x20) ? p[4] + 1 : 0);
        if (pid == 0) {
            const unsigned char* section = payload + 1 + payload[0];
            const int sectionLength = ((section[1] & 0x0F) << 8) | section[2];
            const unsigned char* end = section + 3 + sectionLength - 4;  // before the CRC
            // The first program; program 0 names the network PID.
            for (const unsigned char* e = section + 8; e + 4 <= end; e += 4) {
                if (((e[0] << 8) | e[1]) != 0) {
                    pmtPid = ((e[2] & 0x1F) << 8) | e[3];
                    break;
                }
            }
        } else if (pid == pmtPid) {
            pmt = true;
        } else if (payload[0] == 0 && payload[1] == 0 && payload[2] == 1 && payload[3] >= 0xE0 &&
                   payload[3] <= 0xEF) {
            return pmt;
        }
    }
    return false;
}

// Every backup file of a move with small segments starts at a key frame with
// PAT and PMT before it, and decodes from its first frame without a single
// complaint of the decoder (ffmpeg is the judge). The local record files
// carry PAT and PMT before every key frame already.
TEST_F(ServiceMoveTest, EveryBackupFileStartsPlayable) {
    if (!rectest::haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    struct Row {
        const char* name;
        int encoderType;
        bool importClip;    // a 1280x720 clip at 30 fps made by ffmpeg, else the synthetic camera
        long long segment;  // 0: a third of the recording
    };
    const Row rows[] = {
        {"synthetic H.264 640x360, 300 KB segments", 1, false, 300000},
        {"synthetic H.265 640x360, 300 KB segments", 2, false, 300000},
        {"imported H.264 1280x720 at 30 fps, a third per segment", 1, true, 0},
    };
    const std::string clip = m_tmp.path + "/clip720.ts";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(m_tmp.path + "/local1/record");
        fs::remove_all(m_tmp.path + "/backup/record");
        SyntheticCamera camera(m_local[0], device(0), "10.1.1.1", this->camera(0));
        if (row.importClip) {
            ASSERT_EQ("", rectest::run("ffmpeg -nostdin -v error -f lavfi -i "
                                       "testsrc2=size=1280x720:rate=30 -t 4 -c:v libx264 -preset "
                                       "superfast -g 30 -pix_fmt yuv420p -f mpegts -y '" +
                                       clip + "'"));
            ASSERT_GT(camera.importFile(clip, kBegin, 8), 0);
        } else {
            SyntheticStreamOptions options;
            options.encoderType = row.encoderType;
            ASSERT_GT(camera.record(options, 20, kBegin, 8), 0);
        }
        const std::set<std::string> deviceDir = {
            BasicTool::getDeviceDirString(device(0), "10.1.1.1", this->camera(0))};
        long long total = 0;
        for (const ReadFile& f : readRecordFiles(m_local, deviceDir, true)) {
            size_t at = 0;
            for (const RecordIndexNode& n : f.nodes) {
                if (n.isIFrame()) {
                    EXPECT_TRUE(patAndPmtFirst(f.data.data() + at, n.getDataLen()))
                        << "local key frame without PAT and PMT";
                }
                at += n.getDataLen();
            }
            total += static_cast<long long>(f.data.size());
        }
        const std::vector<Node> expected = nodes(m_local, 0);
        const long long segment = row.segment > 0 ? row.segment : total / 3;
        setBackupSegment(segment);
        {
            BackupService job(0, makeInfo(device(0), this->camera(0), "10.1.1.1"));
            for (int i = 0; i < 5000 && dataFiles(m_local[0].getRecordRootDir()) > 0; ++i) {
                job.backupRecord();
            }
        }  // closes the last backup file
        EXPECT_EQ(expected, nodes(m_backup, 0));
        const std::vector<ReadFile> backups = readRecordFiles(m_backup, deviceDir, true);
        EXPECT_GE(backups.size(), 3u);
        std::printf("%s: %zu nodes in %zu backup files\n", row.name, expected.size(),
                    backups.size());
        for (const ReadFile& f : backups) {
            const std::string path = f.info.createRecordFileName();
            ASSERT_FALSE(f.nodes.empty());
            EXPECT_TRUE(f.nodes[0].isIFrame()) << path;
            EXPECT_TRUE(patAndPmtFirst(f.data.data(), f.data.size())) << path;
            EXPECT_LE(static_cast<long long>(f.data.size()), segment) << path;
            EXPECT_EQ("", rectest::decodeWarnings(path)) << path;
        }
    }
}

}  // namespace

// The backup disk vanishes in the middle of a backup file and comes back: no
// source may leave its disk meanwhile, and once the disk is back every node
// arrives. The job is stepped on the test's thread, so each row is the same
// sequence of calls every time.
struct VanishCase {
    const char* name;
    bool emptyFolderInPlace;    // a bare mount point where the disk was
    long long checkpointBytes;  // 0: a checkpoint at every frame; -1: the default
};

TEST_F(ServiceMoveTest, BackupDiskVanishingMidFileHoldsTheSourcesAndLosesNothing) {
    const VanishCase cases[] = {
        {"renamed away, checkpoint per frame", false, 0},
        {"renamed away, default checkpoints", false, -1},
        {"empty folder in its place, checkpoint per frame", true, 0},
        {"empty folder in its place, default checkpoints", true, -1},
    };
    const std::string root = m_backup[0].getRecordRootDir();
    const std::string away = root + ".away";
    auto localFiles = [&]() {
        size_t n = 0;
        for (const auto& e : fs::recursive_directory_iterator(m_tmp.path + "/local1/record")) {
            const std::string p = e.path().string();
            if (e.path().extension() == ".ts" && p.find("/.recycle") == std::string::npos) ++n;
        }
        return n;
    };
    for (const VanishCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_tmp.path + "/local1/record");
        fs::remove_all(root + "/record");
        record(0, 0, 30, kBegin);
        const std::vector<Node> expected = nodes(m_local, 0);
        ASSERT_GE(localFiles(), 3u);
        BackupRecordWriter::setCheckpointPolicy(c.checkpointBytes, c.checkpointBytes);
        {
            BackupService job(0, makeInfo(device(0), camera(0), "10.1.1.1"));
            for (int i = 0; i < 25; ++i) job.backupRecord();  // into the second source file
            const size_t before = localFiles();
            ASSERT_LT(before, 5u);

            fs::rename(root, away);
            if (c.emptyFolderInPlace) fs::create_directories(root);
            for (int i = 0; i < 200; ++i) job.backupRecord();
            EXPECT_EQ(before, localFiles()) << "a source left while the disk was gone";

            if (c.emptyFolderInPlace) fs::remove(root);
            fs::rename(away, root);
            for (int i = 0; i < 3000 && localFiles() > 0; ++i) job.backupRecord();
            EXPECT_EQ(0u, localFiles());
        }
        BackupRecordWriter::setCheckpointPolicy(-1, -1);
        // The file that was open when the disk went is mended as after a crash.
        RecoveryReport report;
        ASSERT_EQ(0, RecordDiskManagerImpl::recover(&report));
        EXPECT_EQ(0, report.errors);
        std::multiset<Node> arrived;
        for (const ReadFile& f : files(m_backup, 0, true)) {
            EXPECT_EQ(RecordFileInfo::kStateComplete, f.info.getState());
            for (size_t k = 0; k < f.nodes.size(); ++k) {
                arrived.insert({f.times[k], f.nodes[k].getDataLen()});
            }
        }
        for (const Node& n : expected) {
            EXPECT_EQ(1u, std::min<size_t>(1, arrived.count(n)))
                << n.first - kBegin << " " << n.second;
        }
        std::printf("%s: %zu nodes, %zu arrived, %zu repeats\n", c.name, expected.size(),
                    arrived.size(),
                    arrived.size() - std::set<Node>(arrived.begin(), arrived.end()).size());
    }
}
