// Heap allocations of a move, counted by a global operator new on the test's
// thread: moving a node inside a source file allocates nothing (but where a
// frame outgrows the frame buffers), and switching to the next file allocates
// a few times, as often at the end of a day of many files as at its start
// (nothing is rebuilt from the files of the day).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "BackupService.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "RecordDiskManagerImpl.h"
#include "SyntheticCamera.h"
#include "TaliqTime.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/BackupRecordWriter.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"

namespace {
thread_local long t_allocations = 0;
}  // namespace

// The replacements pair malloc with free themselves.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace backup_test;

namespace {

long removalsAsked() {
    const MoveLedger::Counters c = MoveLedger::instance().counters();
    return c.removedNow + c.deferred + c.kept;
}

TEST(MoveAllocationTest, NodesAllocateNothingAndSwitchesDoNotGrowWithTheFilesOfTheDay) {
    TempDir tmp;
    for (const char* d : {"local", "backup"})
        std::filesystem::create_directories(tmp.path + "/" + d);
    std::string diskId;
    ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), tmp.path + "/backup", diskId));
    RecorderConfig config;
    config.recordDirs = {makeRecordDir(tmp.path + "/local", RecordDirInfoEx::kAttributeLocal)};
    config.backupDirs = {makeRecordDir(tmp.path + "/backup", RecordDirInfoEx::kAttributeBackup)};
    config.policies = {{"dev1", 1, 1}};
    RecordDiskManagerImpl::setConfiguration(config);
    // One day of 40 files: the day index lists 40 files at the first switch.
    SyntheticCamera camera(config.recordDirs[0], "dev1", "10.1.1.1", 1);
    SyntheticStreamOptions options;
    options.audio = false;
    ASSERT_EQ(40, camera.record(options, 40 * 4, 1700000000000LL, 4));
    // The job's frame buffers grow when a frame is larger than every one
    // before it (and only then): those steps may allocate.
    std::set<std::string> deviceDirs = {BasicTool::getDeviceDirString("dev1", "10.1.1.1", 1)};
    long growths = 0;
    int largest = 0;
    for (const ReadFile& f : readRecordFiles(config.recordDirs, deviceDirs, false)) {
        for (const RecordIndexNode& n : f.nodes) {
            if (n.getDataLen() > largest) ++growths;
            largest = std::max(largest, n.getDataLen());
        }
    }
    // No checkpoint while the test counts: the sources wait for the close.
    BackupRecordWriter::setCheckpointPolicy(1LL << 40, 1LL << 40);
    TaliqTime::setClockSpeed(0);

    std::vector<long> switches;
    long nodeSteps = 0, nodeAllocations = 0, allocatingSteps = 0;
    {
        BackupService job(0, makeInfo("dev1", 1, "10.1.1.1"));
        for (int i = 0; i < 5; ++i) job.backupRecord();  // both ends open, first frames moved
        for (int step = 0; step < 5000 && switches.size() < 39; ++step) {
            const long asked = removalsAsked();
            const long before = t_allocations;
            ASSERT_EQ(0, job.backupRecord());
            const long n = t_allocations - before;
            if (removalsAsked() != asked) {
                switches.push_back(n);
            } else {
                ++nodeSteps;
                nodeAllocations += n;
                allocatingSteps += n > 0 ? 1 : 0;
            }
        }
    }
    BackupRecordWriter::waitForClosedFiles();
    BackupRecordWriter::setCheckpointPolicy(-1, -1);
    TaliqTime::setClockSpeed(1);

    EXPECT_GT(nodeSteps, 300);
    // Two buffers (the source's payload buffer and the frame) per growth.
    EXPECT_LE(allocatingSteps, growths);
    EXPECT_LE(nodeAllocations, 2 * growths) << "over " << nodeSteps << " nodes moved in files";
    ASSERT_EQ(39u, switches.size());
    const long first = *std::max_element(switches.begin(), switches.begin() + 10);
    const long last = *std::max_element(switches.end() - 10, switches.end());
    EXPECT_LE(first, 120);
    EXPECT_LE(last, first) << "switches allocate more as the day's files are moved";
    std::printf(
        "moved %ld nodes inside files with %ld allocations (frame buffers growing %ld "
        "times); a file switch allocates %ld (first ten) and %ld (last ten) times at most\n",
        nodeSteps, nodeAllocations, growths, first, last);
}

}  // namespace
