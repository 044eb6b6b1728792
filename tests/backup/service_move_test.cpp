// Whole moves on the reference host: recordings of the synthetic camera in
// temporary record directories, moved by jobs of the manager on a sped-up
// clock. Every recorded node must arrive on the backup disk once and in order
// (told apart by its absolute time and length), and no local file may remain.
#include <thread>

#include "BackupDisk.h"
#include "BackupRecordWriter.h"
#include "BackupService.h"
#include "BackupServiceManager.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "FileSystem.h"
#include "RecordDiskManagerImpl.h"
#include "RecordRecovery.h"
#include "RecorderConfig.h"
#include "SyntheticCamera.h"

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
