// Power cuts at hundreds of points of a two-camera, multi-file move (one
// camera changes its picture size half way): after each cut, only what was
// made durable survives; recovery runs, the rest of the move runs to its end,
// and every recorded node must be on the backup disk, by content (its bytes
// with PCR, PTS and DTS left out).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "BackupService.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "PowerCutFileSystem.h"
#include "RecordDiskManagerImpl.h"
#include "SyntheticCamera.h"
#include "TaliqTime.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/BackupRecordWriter.h"
#include "store/MoveLedger.h"
#include "store/RecordQuarantine.h"
#include "store/RecordRecovery.h"

using namespace backup_test;
namespace fs = std::filesystem;

namespace {

const long long kBegin = 1700000000000LL;
const char* const kDevice = "dev1";
const char* const kIP = "10.1.1.1";

class CrashTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Durability is the power-cut file system's model, not the disk's:
        // a memory file system keeps the hundreds of runs quick.
        s_base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        s_base += "/nvr-crash-" + std::to_string(::getpid());
        fs::remove_all(s_base);
        for (const char* d : {"disks/local1", "disks/local2", "disks/backup"}) {
            fs::create_directories(s_base + "/" + d);
        }
        std::string id;
        ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), s_base + "/disks/backup", id));
        RecordDiskManagerImpl::setConfiguration(config());
        for (int c = 0; c < 2; ++c) {
            SyntheticCamera camera(config().recordDirs[c], kDevice, kIP, c + 1);
            SyntheticStreamOptions options;
            options.audio = false;
            options.changeAtSeconds = c == 1 ? 9 : -1;  // a new picture size starts a file
            ASSERT_GT(camera.record(options, 18, kBegin + c * 700, 5), 0);
        }
        for (int c = 0; c < 2; ++c) s_expected[c] = localNodes(c);
        fs::copy(s_base + "/disks", s_base + "/pristine", fs::copy_options::recursive);
    }
    static void TearDownTestSuite() { fs::remove_all(s_base); }

    void SetUp() override {
        TaliqTime::setClockSpeed(0);
        // Backup files of a few nodes and checkpoints every few frames, so a
        // short move has rotations, checkpoints and batched removals.
        BackupRecordWriter::setCheckpointPolicy(40 << 10, -1);
    }
    void TearDown() override {
        BackupRecordWriter::setCheckpointPolicy(-1, -1);
        RecordDiskManagerImpl::setFileSystem(nullptr);
        TaliqTime::setClockSpeed(1);
        MoveLedger::instance().reset();
    }

    static RecorderConfig config() {
        RecorderConfig c;
        c.recordDirs = {makeRecordDir(s_base + "/disks/local1", RecordDirInfoEx::kAttributeLocal),
                        makeRecordDir(s_base + "/disks/local2", RecordDirInfoEx::kAttributeLocal)};
        c.backupDirs = {makeRecordDir(s_base + "/disks/backup", RecordDirInfoEx::kAttributeBackup,
                                      0, 200 << 10)};
        c.backupReserveBytes = 0;
        c.policies = {{kDevice, 1, 1}, {kDevice, 2, 1}};
        return c;
    }
    static std::set<std::string> deviceDirs(int c) {
        return {BasicTool::getDeviceDirString(kDevice, kIP, c + 1)};
    }
    static std::vector<Node> localNodes(int c) {
        return nodesOf(readRecordFiles({config().recordDirs[c]}, deviceDirs(c), true));
    }
    static size_t localFiles() {
        size_t n = 0;
        for (const char* d : {"/disks/local1/record", "/disks/local2/record"}) {
            if (!fs::exists(s_base + d)) continue;
            for (const auto& e : fs::recursive_directory_iterator(s_base + d)) {
                if (e.path().extension() == ".ts" &&
                    e.path().string().find("/.recycle") == std::string::npos) {
                    ++n;
                }
            }
        }
        return n;
    }
    static void restorePristine() {
        fs::remove_all(s_base + "/disks");
        fs::copy(s_base + "/pristine", s_base + "/disks", fs::copy_options::recursive);
    }

    // Steps both jobs in turn on this thread until nothing is left locally,
    // `stop` says so, or the step budget is spent. Answers the steps taken.
    static int move(const std::function<bool()>& stop) {
        int steps = 0;
        {
            BackupService a(0, makeInfo(kDevice, 1, kIP));
            BackupService b(0, makeInfo(kDevice, 2, kIP));
            for (; steps < 4000 && localFiles() > 0 && !stop(); ++steps) {
                a.backupRecord();
                b.backupRecord();
            }
        }
        // The jobs close their backup files as they go, and the last ones
        // here; what the background flusher does for them (the power may go
        // meanwhile too) is over before the power is cut.
        BackupRecordWriter::waitForClosedFiles();
        return steps;
    }

    static std::string s_base;
    static std::map<int, std::vector<Node>> s_expected;
};

std::string CrashTest::s_base;
std::map<int, std::vector<Node>> CrashTest::s_expected;

TEST_F(CrashTest, EveryNodeSurvivesAPowerCutAtAnyPointOfTheMove) {
    ASSERT_GE(s_expected[0].size(), 30u);
    rectest::PowerCutFileSystem power;
    RecordDiskManagerImpl::setFileSystem(&power);

    // An uncut run tells how many file-system calls the move makes.
    restorePristine();
    const size_t sources = localFiles();
    ASSERT_EQ(0, power.arm(s_base + "/disks"));
    move([] { return false; });
    ASSERT_EQ(0u, localFiles());
    const int calls = power.opCount();
    std::printf("uncut move of %zu source files: %d fsyncs, %d folder syncs, %d calls\n", sources,
                power.fsyncCount(), power.syncDirCount(), calls);
    ASSERT_EQ(0, power.cut());
    MoveLedger::instance().reset();

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int points = 60;  // the sanitizer builds check the same code more slowly
#else
    const int points = 240;
#endif
    std::set<int> cuts;
    for (int i = 0; i < points; ++i) cuts.insert(1 + static_cast<int>(1LL * i * calls / points));
    RecordDiskManagerImpl::setConfiguration(config());
    int repeats = 0, mended = 0;
    for (int cut : cuts) {
        SCOPED_TRACE("cut before file-system call " + std::to_string(cut) + " of " +
                     std::to_string(calls));
        restorePristine();
        ASSERT_EQ(0, power.arm(s_base + "/disks"));
        power.crashAfter(cut);
        move([&power] { return power.crashed(); });
        ASSERT_EQ(0, power.cut());
        // The process is gone with the power, and with it what it had noted:
        // the sources that failed to open while the disks were dead get new
        // tries.
        MoveLedger::instance().reset();
        RecordQuarantine::reset();

        RecoveryReport report;
        ASSERT_EQ(0, RecordDiskManagerImpl::recover(&report));
        EXPECT_EQ(0, report.errors);
        mended += report.backupFilesCompleted + report.backupFilesRemoved + report.entriesDropped;
        move([] { return false; });
        ASSERT_EQ(0u, localFiles());

        for (int c = 0; c < 2; ++c) {
            const std::vector<Node> arrived =
                nodesOf(readRecordFiles(config().backupDirs, deviceDirs(c), true));
            const std::multiset<Node> found(arrived.begin(), arrived.end());
            for (const Node& n : s_expected[c]) {
                ASSERT_GE(found.count(n), 1u) << "camera " << c + 1 << " lost the node at "
                                              << std::get<0>(n) - kBegin << " ms";
            }
            EXPECT_EQ(arrived.size(), found.size());
            repeats += static_cast<int>(arrived.size() - s_expected[c].size());
        }
    }
    std::printf("%zu cut points of %d file-system calls: no node lost, %d repeated, %d mends\n",
                cuts.size(), calls, repeats, mended);
}

}  // namespace
