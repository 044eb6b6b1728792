// The real program killed with SIGKILL at random moments of a move, and
// restarted after each kill: two cameras recorded in batches of several files
// into a temporary recorder (the program's record and prepare-disk commands),
// `nvr-backup run --until-empty` started and killed again and again (a new
// batch is recorded whenever the local disks are empty, so that every run has
// something to move), and finally let run to its end. Whatever the moments,
// every recorded frame must be on the backup disk at least once with its own
// bytes, in order, no local record file may be left and no backup file may be
// left "being recorded". A frame may arrive twice (a source file is moved
// again from its start after a kill): such repeats are counted and printed,
// not failed.
//
// Only the final content is checked, never a duration: the kill moments come
// from a seeded generator, scaled to one uncut run of a batch measured first
// on a recorder of its own, so a slow machine only moves the moments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../recordlib/RecordTestSupport.h"
#include "MPEG_TS_Packager.h"
#include "RecordFileReader.h"
#include "RecordInventory.h"
#include "config/RecorderConfig.h"
#include "store/RecordIndexFile.h"

namespace fs = std::filesystem;

namespace {

const char* const kDevice = "cam-box";
const char* const kDeviceIP = "192.168.1.10";  // the record command's default
// A batch: 10 minutes of each camera in files of 30 s (for camera 1 more
// than a backup checkpoint holds). The second batch crosses a midnight (UTC),
// so that its later files go into a new day folder.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int kBatchSeconds = 120;  // the sanitizers' builds run several times slower
#else
const int kBatchSeconds = 600;
#endif
const int kFileSeconds = 30;
const long long kMidnightMs = 1700006400000LL;  // 2023-11-15 00:00:00
const long long kBeginMs = kMidnightMs - kBatchSeconds * 1500LL;
const int kCameras[] = {1, 2};
const int kKills = 24;
const auto kMinDelay = std::chrono::milliseconds(3);
// Far beyond any run on a loaded machine: a run that takes longer is stuck.
const auto kRunLimit = std::chrono::seconds(120);

// One frame of a camera: its index node and a hash of its bytes. The backup
// side shifts a frame's PCR, PTS and DTS by one offset, so the bytes are
// hashed after shifting the frame's time stamps to start at 0 (the
// packager's own rewrite): a source frame and its backup copy then hash the
// same, and any other difference of a single byte shows.
struct Frame {
    RecordInventory::Node node;
    unsigned long long hash = 0;
};

unsigned long long hashOf(std::vector<unsigned char>& data) {
    MPEG_TS::MPEG_TS_Packager::adjustTimeStamp(data.data(), static_cast<unsigned>(data.size()), 0);
    unsigned long long h = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char c : data) h = (h ^ c) * 1099511628211ULL;
    return h;
}

// The frames of every complete record file of the camera in `dirs`, in file
// order. Empty `error` on success.
std::vector<Frame> readFrames(const std::vector<RecordDirInfoEx>& dirs, int camera,
                              std::string& error) {
    std::vector<Frame> frames;
    std::vector<RecordFileInfo> infos;
    if (RecordInventory::files(dirs, kDevice, camera, infos) != 0) {
        error = "the record files cannot be listed";
        return frames;
    }
    for (const RecordFileInfo& info : infos) {
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        if (openRecordFileForRead(info, file, walk) != 0) {
            error = info.createRecordFileName() + " cannot be read";
            return frames;
        }
        while (walk.seekNext()) {
            RecordIndexNode node;
            walk.getCurrentNodeInfo(node);
            std::vector<unsigned char> data(static_cast<size_t>(node.getDataLen()));
            int got = 0;
            while (got < node.getDataLen()) {
                const int r =
                    file->read(reinterpret_cast<char*>(data.data()) + got, node.getDataLen() - got);
                if (r <= 0) break;
                got += r;
            }
            if (got != node.getDataLen()) {
                error = info.createRecordFileName() + " ends inside a node";
                return frames;
            }
            frames.push_back({{walk.getFileBeginTime() + node.getTimeOffset(), node.getDataLen()},
                              hashOf(data)});
        }
        file->close();
    }
    return frames;
}

// Starts the program with `args`; its output is appended to `outPath`.
pid_t spawn(const std::vector<std::string>& args, const std::string& outPath) {
    std::vector<char*> argv;
#ifdef NVR_BACKUP_EMULATOR
    // The program of a cross build runs under the emulator (words split by
    // spaces), like the tests themselves.
    static std::vector<std::string> emulator = [] {
        std::vector<std::string> words;
        std::istringstream in(NVR_BACKUP_EMULATOR);
        for (std::string w; in >> w;) words.push_back(w);
        return words;
    }();
    for (std::string& w : emulator) argv.push_back(&w[0]);
#endif
    argv.push_back(const_cast<char*>(NVR_BACKUP_BINARY));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_t pid = fork();
    if (pid == 0) {  // only async-signal-safe calls until exec
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (out >= 0) ::close(out);
    return pid;
}

// Waits for the child to end; a child that is still there after `limit` is
// killed and reported as stuck. The child is reaped only after the watchdog
// can no longer kill, so its pid cannot have been reused meanwhile.
int waitBounded(pid_t pid, std::chrono::seconds limit, bool& stuck) {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    stuck = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> g(lock);
        if (!ended.wait_for(g, limit, [&] { return done; })) {
            stuck = true;
            kill(pid, SIGKILL);
        }
    });
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> g(lock);
        done = true;
    }
    ended.notify_one();
    watchdog.join();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Runs the program to its end: its exit code, or -1 when it was stuck or
// died of a signal.
int runToEnd(const std::vector<std::string>& args, const std::string& outPath) {
    bool stuck = false;
    const int status = waitBounded(spawn(args, outPath), kRunLimit, stuck);
    return !stuck && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string describe(const RecordInventory::Node& node) {
    return "the node at " + std::to_string(node.time) + " (" +
           RecordInventory::formatTime(node.time) + ", " + std::to_string(node.length) + " bytes)";
}

std::string stuckText() {
    return "-1: the run did not end by itself within " + std::to_string(kRunLimit.count()) +
           " s and was killed, or it died of a signal\n";
}

std::string tail(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > 3000 ? all.substr(all.size() - 3000) : all;
}

// The day folders below <root>/record of every directory given.
std::vector<std::string> dayFolders(const std::vector<RecordDirInfoEx>& dirs) {
    std::vector<std::string> out;
    std::vector<std::string> devices;
    EXPECT_EQ(0, RecordInventory::deviceDirs(dirs, devices));
    for (const std::string& device : devices) {
        for (const RecordDirInfoEx& d : dirs) {
            std::error_code ec;
            const fs::path folder = fs::path(d.getRecordRootDir()) / "record" / device;
            for (const auto& day : fs::directory_iterator(folder, ec)) {
                if (day.is_directory()) out.push_back(day.path().string());
            }
        }
    }
    return out;
}

// The bytes of every data file on the backup disks.
long long backupBytes(const RecorderConfig& config) {
    long long bytes = 0;
    for (const std::string& day : dayFolders(config.backupDirs)) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(day, ec)) {
            if (entry.path().extension() == ".ts") bytes += entry.file_size(ec);
        }
    }
    return bytes;
}

class KillRestartTest : public ::testing::Test {
  protected:
    // A recorder in <tmp>/<name>: two local disks, one camera on each, and a
    // prepared backup disk (made by the program). Moved files are purged at
    // once from the recycle areas, to keep the folder small.
    std::string makeRecorder(const std::string& name, RecorderConfig& config) {
        const std::string dir = m_tmp.sub(name);
        config.recordDirs = {makeRecordDir(dir + "/local1", RecordDirInfoEx::kAttributeLocal),
                             makeRecordDir(dir + "/local2", RecordDirInfoEx::kAttributeLocal)};
        config.backupDirs = {makeRecordDir(dir + "/backup", RecordDirInfoEx::kAttributeBackup)};
        config.recycleRetentionSeconds = 0;
        for (int camera : kCameras) config.policies.push_back({kDevice, camera, 1});
        for (const auto& d : config.recordDirs) fs::create_directories(d.getRecordRootDir());
        fs::create_directories(config.backupDirs[0].getRecordRootDir());
        const std::string path = dir + "/recorder.json";
        EXPECT_EQ(0, config.saveFile(path));
        EXPECT_EQ(0, runToEnd({"prepare-disk", config.backupDirs[0].getRecordRootDir()}, m_out));
        return path;
    }

    // Records the next kBatchSeconds of both cameras with the program (the
    // second camera changes its picture size half way).
    void recordBatch(const std::string& configPath, int batch) {
        const std::string begin = std::to_string(kBeginMs + batch * kBatchSeconds * 1000LL);
        for (int camera : kCameras) {
            std::vector<std::string> args{"record", "--config", configPath, "--device", kDevice};
            args.insert(args.end(), {"--camera", std::to_string(camera), "--dir",
                                     std::to_string(camera - 1), "--begin", begin});
            args.insert(args.end(), {"--seconds", std::to_string(kBatchSeconds), "--file-seconds",
                                     std::to_string(kFileSeconds)});
            if (camera == 2) {
                args.insert(args.end(), {"--size-change", std::to_string(kBatchSeconds / 2)});
            }
            ASSERT_EQ(0, runToEnd(args, m_out)) << tail(m_out);
        }
    }

    std::vector<std::string> runArgs(const std::string& configPath) const {
        std::vector<std::string> args{"run", "--config",      configPath, "--speed",
                                      "0",   "--until-empty", "--log",    m_tmp.sub("backup.log")};
        for (int camera : kCameras) {
            args.insert(args.end(), {"--job", std::string(kDevice) + ":" + std::to_string(camera) +
                                                  ":" + kDeviceIP});
        }
        return args;
    }

    rectest::TempDir m_tmp;
    const std::string m_out = m_tmp.sub("runs.txt");  // the children's console output
};

TEST_F(KillRestartTest, EveryFrameSurvivesKillsAtRandomMoments) {
    const auto start = std::chrono::steady_clock::now();

    // One uncut run of one batch, on a recorder of its own, sets the scale of
    // the moments.
    RecorderConfig measureConfig;
    const std::string measurePath = makeRecorder("measure", measureConfig);
    ASSERT_NO_FATAL_FAILURE(recordBatch(measurePath, 0));
    const auto uncutStart = std::chrono::steady_clock::now();
    ASSERT_EQ(0, runToEnd(runArgs(measurePath), m_out)) << stuckText() << tail(m_out);
    const auto uncut = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - uncutStart);
    fs::remove_all(m_tmp.sub("measure"));

    RecorderConfig config;
    const std::string configPath = makeRecorder("kill", config);
    ASSERT_FALSE(::testing::Test::HasFailure()) << tail(m_out);
    RecordDiskManagerImpl::setConfiguration(config);
    // Per camera: every recorded node and the hash of its bytes.
    std::map<int, std::map<std::pair<long long, int>, unsigned long long>> recorded;
    auto localFiles = [&] {
        std::vector<RecordFileInfo> one, two;
        EXPECT_EQ(0, RecordInventory::files(config.recordDirs, kDevice, 1, one));
        EXPECT_EQ(0, RecordInventory::files(config.recordDirs, kDevice, 2, two));
        return one.size() + two.size();
    };

    // Kill moments from a few ms up to an uncut run, spread evenly on a log
    // scale: a run moves a batch in a fraction of its time (most of the rest
    // is the wait for the local disks to look empty), so most moments fall
    // into the start, the recovery and the move. Whenever the local disks are
    // empty, the next batch is recorded first (the program is not running
    // then), so every run has something to move.
    // NVR_KILL_SEED=n tries other moments.
    const char* seedText = std::getenv("NVR_KILL_SEED");
    const unsigned seed =
        seedText != nullptr ? static_cast<unsigned>(std::atol(seedText)) : 20231114;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> exponent(
        0, std::log(std::chrono::duration<double>(uncut) / kMinDelay));
    int kills = 0;
    int killsAfterWrites = 0;  // the backup disk held more data after the kill than before
    int runs = 0;
    int batches = 0;
    for (; kills < kKills && runs < 4 * kKills; ++runs) {
        if (localFiles() == 0) {
            ASSERT_NO_FATAL_FAILURE(recordBatch(configPath, batches++));
            for (int camera : kCameras) {
                std::string error;
                for (const Frame& f : readFrames(config.recordDirs, camera, error)) {
                    recorded[camera][{f.node.time, f.node.length}] = f.hash;
                }
                ASSERT_EQ("", error);
            }
        }
        const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
            kMinDelay * std::exp(exponent(random)));
        const long long written = backupBytes(config);
        const pid_t pid = spawn(runArgs(configPath), m_out);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);  // a child that ended already is a zombie: no effect
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            ++kills;
            if (backupBytes(config) > written) ++killsAfterWrites;
        } else {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << tail(m_out);
        }
    }
    EXPECT_GE(kills, 20);
    ASSERT_EQ(0, runToEnd(runArgs(configPath), m_out)) << "the final run\n"
                                                       << stuckText() << tail(m_out);

    // Every recorded frame is on the backup disk with its own bytes, nothing
    // else is, and the repeats aside the backup holds the recording in its
    // order. Repeats are counted. The first few faults of each kind are shown.
    std::string summary;
    for (int camera : kCameras) {
        const auto& expected = recorded[camera];
        std::string error;
        const std::vector<Frame> arrived = readFrames(config.backupDirs, camera, error);
        EXPECT_EQ("", error);
        std::vector<RecordInventory::Node> nodes;
        int stray = 0;
        int changed = 0;
        for (const Frame& f : arrived) {
            nodes.push_back(f.node);
            auto it = expected.find({f.node.time, f.node.length});
            if (it == expected.end()) {
                if (++stray <= 5) ADD_FAILURE() << describe(f.node) << " was never recorded";
            } else if (it->second != f.hash) {
                if (++changed <= 5) ADD_FAILURE() << describe(f.node) << " arrived changed";
            }
        }
        const std::vector<RecordInventory::Node> once = RecordInventory::withoutRepeats(nodes);
        std::set<std::pair<long long, int>> there;
        for (const RecordInventory::Node& n : once) there.insert({n.time, n.length});
        std::vector<RecordInventory::Node> order;  // the map's order is the time order
        int lost = 0;
        for (const auto& e : expected) {
            order.push_back({e.first.first, e.first.second});
            if (there.count(e.first) == 0 && ++lost <= 5) {
                ADD_FAILURE() << describe(order.back()) << " is not on the backup disk";
            }
        }
        EXPECT_EQ(0, stray + changed + lost) << "camera " << camera << ": " << stray << " stray, "
                                             << changed << " changed, " << lost << " lost";
        EXPECT_TRUE(once == order) << "camera " << camera << ": not in the order recorded";
        summary += " camera " + std::to_string(camera) + ": " + std::to_string(expected.size()) +
                   " nodes recorded, " + std::to_string(RecordInventory::repeats(nodes)) +
                   " repeats;";
    }

    // Nothing is left locally, neither data nor index entries, and every
    // backup data file is listed complete.
    EXPECT_EQ(0u, localFiles());
    for (const std::string& day : dayFolders(config.recordDirs)) {
        for (const auto& entry : fs::directory_iterator(day)) {
            EXPECT_NE(".ts", entry.path().extension()) << entry.path() << " is left locally";
        }
        std::vector<RecordIndexEntry> entries;
        const std::string index = RecordIndexFile::pathOf(day);
        ASSERT_EQ(0, RecordIndexFile::load(*posixFileSystem(), index, entries)) << index;
        for (const RecordIndexEntry& e : entries) {
            ADD_FAILURE() << index << " still lists " << e.fileName << " (state " << e.state << ")";
        }
    }
    for (const std::string& day : dayFolders(config.backupDirs)) {
        std::vector<RecordIndexEntry> entries;
        const std::string index = RecordIndexFile::pathOf(day);
        ASSERT_EQ(0, RecordIndexFile::load(*posixFileSystem(), index, entries)) << index;
        std::map<std::string, int> state;
        for (const RecordIndexEntry& e : entries) state[e.fileName] = e.state;
        for (const auto& entry : fs::directory_iterator(day)) {
            if (entry.path().extension() != ".ts") continue;
            const std::string name = entry.path().filename().string();
            EXPECT_EQ(1, state.count(name)) << entry.path() << " is listed by no index";
            EXPECT_EQ(RecordFileInfo::kStateComplete, state[name]) << entry.path();
        }
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "kill/restart (seed %u): %d kills in %d runs over %d batches (%d of them with more "
        "backup data than before the run), uncut run of a batch %lld ms, %.1f s in all;%s\n",
        seed, kills, runs, batches, killsAfterWrites, static_cast<long long>(uncut.count()),
        seconds, summary.c_str());
}

}  // namespace
