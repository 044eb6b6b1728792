// Whole moves on the reference host: real record directories in a temporary
// folder, recordings made by the synthetic camera, jobs run by the manager on
// a sped-up clock. Every recorded node must arrive on the backup disk exactly
// once and in order (told apart by its absolute time: file begin + offset),
// and every local record file must be gone afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BackupServiceManager.h"
#include "BasicTool.h"
#include "FileSystem.h"
#include "RecordDiskManagerImpl.h"
#include "RecordFileIndexNodeInfo.h"
#include "RecordFileReader.h"
#include "RecordInfo.h"
#include "RecorderConfig.h"
#include "RetrieverFileQuery.h"
#include "SyntheticCamera.h"
#include "TaliqTime.h"

namespace fs = std::filesystem;

namespace {

const long long kBegin = 1700000000000LL;  // ms since the epoch

struct Camera {
    std::string device;
    int camera;
};

// One node as the index lists it: absolute time (ms) and data length.
struct Node {
    long long time;
    int length;
    bool operator==(const Node& o) const { return time == o.time && length == o.length; }
    bool operator<(const Node& o) const { return time < o.time; }
};

std::ostream& operator<<(std::ostream& out, const Node& n) {
    return out << "{" << n.time << "," << n.length << "}";
}

// Complete record files of one camera in `dirs`, oldest first, and their nodes
// in order (per file when `perFile` is given).
std::vector<Node> listNodes(const std::vector<RecordDirInfoEx>& dirs, const Camera& cam,
                            int* files = nullptr, std::vector<std::vector<Node>>* perFile = nullptr,
                            bool filesOnly = false) {
    std::vector<RecordDirInfoEx> present;
    for (const auto& d : dirs) {
        if (fs::exists(d.getRecordRootDir())) present.push_back(d);
    }
    std::set<std::string> deviceDirs;
    for (const auto& d : present) {
        std::vector<std::string> names;
        if (BasicTool::getMatchDeviceDirList(d, "record", cam.device, "", cam.camera, names)) {
            deviceDirs.insert(names.begin(), names.end());
        }
    }
    RetrieverFileQuery query;
    query.setRecordDirInfo(present);
    query.setDeviceList(deviceDirs);
    std::vector<RecordFileInfo> list;
    if (!deviceDirs.empty()) query.listRecordFiles(list, true);
    std::vector<Node> nodes;
    if (files) *files = static_cast<int>(list.size());
    if (filesOnly) return nodes;  // a running job may delete them meanwhile
    for (const RecordFileInfo& info : list) {
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        EXPECT_EQ(0, openRecordFileForRead(info, file, walk)) << info.createRecordFileName();
        std::vector<Node> inFile;
        while (walk.seekNext()) {
            RecordIndexNode node;
            walk.getCurrentNodeInfo(node);
            inFile.push_back({walk.getFileBeginTime() + node.getTimeOffset(), node.getDataLen()});
        }
        if (!file.isNull()) file->close();
        nodes.insert(nodes.end(), inFile.begin(), inFile.end());
        if (perFile) perFile->push_back(inFile);
    }
    return nodes;
}

// Counts the disk manager's looks at the backup root and signals each one.
class WatchingFileSystem : public FileSystemWrapper {
  public:
    WatchingFileSystem(const std::string& root)
        : FileSystemWrapper(posixFileSystem()), m_root(root) {}
    int stat(const std::string& path, FileStat& st) override {
        note(path);
        return FileSystemWrapper::stat(path, st);
    }
    int freeSpace(const std::string& path, long long& bytes) override {
        note(path);
        return FileSystemWrapper::freeSpace(path, bytes);
    }
    bool waitForLooks(int count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_looks >= count; });
    }

  private:
    void note(const std::string& path) {
        if (path.compare(0, m_root.size(), m_root) != 0) return;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            ++m_looks;
        }
        m_changed.notify_all();
    }
    std::string m_root;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_looks = 0;
};

class ServiceMoveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/nvr-move-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_root = pattern;
        m_local = {makeRecordDir(m_root + "/local1", RecordDirInfoEx::kAttributeLocal),
                   makeRecordDir(m_root + "/local2", RecordDirInfoEx::kAttributeLocal)};
        m_backup = {makeRecordDir(m_root + "/backup", RecordDirInfoEx::kAttributeBackup)};
        fs::create_directories(m_root + "/local1");
        fs::create_directories(m_root + "/local2");
        fs::create_directories(m_root + "/backup");
        RecorderConfig config;
        config.recordDirs = m_local;
        config.backupDirs = m_backup;
        for (const Camera& c : m_cameras) config.policies.push_back({c.device, c.camera, 1});
        RecordDiskManagerImpl::setConfiguration(config);
        TaliqTime::setClockSpeed(0);
    }

    void TearDown() override {
        RecordDiskManagerImpl::setFileSystem(nullptr);
        TaliqTime::setClockSpeed(1);
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    // Records `seconds` for a camera into local directory `dir`, from `begin`.
    void record(const Camera& c, int dir, double seconds, long long begin, bool sizeChange) {
        SyntheticCamera camera(m_local[dir], c.device, "10.1.1.1", c.camera);
        SyntheticStreamOptions options;
        options.audio = false;
        if (sizeChange) options.changeAtSeconds = seconds / 2;
        ASSERT_GT(camera.record(options, seconds, begin, 8), 0);
    }

    RecordInfo info(const Camera& c) {
        RecordInfo i;
        i.setDeviceId(c.device.c_str());
        i.setDeviceIP("10.1.1.1");
        i.setCameraId(c.camera);
        return i;
    }

    // Polls the disks until every camera's recordings are on the backup disk
    // and none is left locally (bounded; the clock is sped up).
    bool waitUntilMoved(const std::map<int, std::vector<Node>>& expected) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < deadline) {
            bool done = true;
            for (const auto& entry : expected) {
                int localFiles = 0;
                listNodes(m_local, m_cameras[entry.first], &localFiles, nullptr, true);
                done = done && localFiles == 0 &&
                       listNodes(m_backup, m_cameras[entry.first]).size() >= entry.second.size();
            }
            if (done) return true;
            std::this_thread::yield();
        }
        return false;
    }

    std::string m_root;
    std::vector<RecordDirInfoEx> m_local;
    std::vector<RecordDirInfoEx> m_backup;
    std::vector<Camera> m_cameras{{"dev1", 1}, {"dev1", 2}, {"dev2", 1}};
};

TEST_F(ServiceMoveTest, SeveralJobsMoveEveryFrameOnceInOrder) {
    record(m_cameras[0], 0, 30, kBegin, false);
    record(m_cameras[1], 1, 30, kBegin, true);  // picture size changes half way
    record(m_cameras[2], 0, 16, kBegin, false);
    record(m_cameras[2], 1, 16, kBegin + 20000, false);
    std::map<int, std::vector<Node>> expected;
    for (size_t i = 0; i < m_cameras.size(); ++i) {
        expected[i] = listNodes(m_local, m_cameras[i]);
        ASSERT_GT(expected[i].size(), 20u);
    }

    BackupServiceManager* manager = BackupServiceManager::getInstance();
    manager->init();
    for (const Camera& c : m_cameras) ASSERT_EQ(0, manager->addService(0, info(c)));
    bool moved = waitUntilMoved(expected);
    manager->unInit();  // closes the last backup file of every job
    ASSERT_TRUE(moved);

    for (size_t i = 0; i < m_cameras.size(); ++i) {
        int localFiles = -1;
        EXPECT_TRUE(listNodes(m_local, m_cameras[i], &localFiles).empty());
        EXPECT_EQ(0, localFiles);
        std::vector<std::vector<Node>> files;
        EXPECT_EQ(expected[i], listNodes(m_backup, m_cameras[i], nullptr, &files))
            << m_cameras[i].device << "/" << m_cameras[i].camera;
        if (i == 1) {
            EXPECT_GE(files.size(), 2u);  // the size change starts a new file
        }
    }
}

TEST_F(ServiceMoveTest, UnInitMidMoveLosesNothing) {
    record(m_cameras[0], 0, 40, kBegin, false);
    std::vector<Node> expected = listNodes(m_local, m_cameras[0]);
    int filesBefore = 0;
    listNodes(m_local, m_cameras[0], &filesBefore);
    ASSERT_GE(filesBefore, 3);

    BackupServiceManager* manager = BackupServiceManager::getInstance();
    manager->init();
    ASSERT_EQ(0, manager->addService(0, info(m_cameras[0])));
    // Stop while the job is between files: one file moved, others left.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int files = filesBefore;
    while (files == filesBefore && std::chrono::steady_clock::now() < deadline) {
        listNodes(m_local, m_cameras[0], &files, nullptr, true);
        std::this_thread::yield();
    }
    manager->unInit();
    ASSERT_LT(files, filesBefore);

    manager->init();
    ASSERT_EQ(0, manager->addService(0, info(m_cameras[0])));
    bool moved = waitUntilMoved({{0, expected}});
    manager->unInit();
    ASSERT_TRUE(moved);
    // Every node arrived, in order within each backup file; the file that was
    // being read when the job stopped may have arrived twice.
    std::vector<std::vector<Node>> backupFiles;
    std::vector<Node> backup = listNodes(m_backup, m_cameras[0], nullptr, &backupFiles);
    std::set<Node> distinct(backup.begin(), backup.end());
    EXPECT_EQ(std::set<Node>(expected.begin(), expected.end()), distinct);
    for (const auto& file : backupFiles) {
        for (size_t k = 1; k < file.size(); ++k) EXPECT_LT(file[k - 1].time, file[k].time);
    }
}

TEST_F(ServiceMoveTest, BackupDirectoryAppearingLaterGetsEveryFrame) {
    record(m_cameras[0], 0, 20, kBegin, false);
    std::vector<Node> expected = listNodes(m_local, m_cameras[0]);
    int filesBefore = 0;
    listNodes(m_local, m_cameras[0], &filesBefore);
    fs::remove(m_backup[0].getRecordRootDir());
    WatchingFileSystem watching(m_backup[0].getRecordRootDir());
    RecordDiskManagerImpl::setFileSystem(&watching);
    TaliqTime::setClockSpeed(1000);  // the job retries its write every 2 ms

    BackupServiceManager* manager = BackupServiceManager::getInstance();
    manager->init();
    ASSERT_EQ(0, manager->addService(0, info(m_cameras[0])));
    // The job has looked for the backup directory several times...
    ASSERT_TRUE(watching.waitForLooks(5));
    // ...and deleted nothing meanwhile.
    int files = 0;
    EXPECT_EQ(expected, listNodes(m_local, m_cameras[0], &files));
    EXPECT_EQ(filesBefore, files);

    fs::create_directories(m_backup[0].getRecordRootDir());
    TaliqTime::setClockSpeed(0);
    bool moved = waitUntilMoved({{0, expected}});
    manager->unInit();
    ASSERT_TRUE(moved);
    EXPECT_EQ(expected, listNodes(m_backup, m_cameras[0]));
}

}  // namespace
