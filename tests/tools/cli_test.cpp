// The program as an operator uses it, as a child process: one table of
// invocations with the exit code and what it must say, and SIGKILL at random
// moments of a move, after which every recorded node must be on the backup
// disk with its own bytes. Nothing here measures a duration: a row that waits
// for a line ends by that line (a hung program is left to the test's timeout).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../recordlib/RecordTestSupport.h"
#include "MPEG_TS_Packager.h"
#include "RecordFileReader.h"
#include "RecordInventory.h"
#include "config/RecorderConfig.h"

namespace fs = std::filesystem;

namespace {

// Starts the program (under a cross build's emulator) with its standard output
// and error on the descriptors given.
pid_t spawn(const std::vector<std::string>& args, int out, int err) {
    std::vector<std::string> words;
#ifdef NVR_BACKUP_EMULATOR
    std::istringstream emulator(NVR_BACKUP_EMULATOR);
    for (std::string w; emulator >> w;) words.push_back(w);
#endif
    words.push_back(NVR_BACKUP_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {  // only async-signal-safe calls until exec
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

struct Result {
    int code = -1;  // the exit code; -1 when it died of a signal
    std::string out;
    std::string err;
};

// Runs the program to its end. Once its output (either stream) holds
// `waitFor`, `then` is called with its pid.
Result runProgram(const std::vector<std::string>& args, const std::string& waitFor = "",
                  const std::function<void(pid_t)>& then = nullptr) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t pid = spawn(args, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* text[2] = {&result.out, &result.err};
    bool seen = waitFor.empty();
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                text[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
        if (!seen && (result.out + result.err).find(waitFor) != std::string::npos) {
            seen = true;
            then(pid);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
    return result;
}

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string read(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

enum Recorder {
    kEmpty,       // no recording
    kRecorded,    // 60 s of camera d:1 in two record files
    kCutShort,    // the same, the first data file cut in the middle of a packet
    kUnreadable,  // the same, its day index a folder (reading it fails: EISDIR)
    kDemo,        // the demo's recorder after one whole run, in $D/demo
};

// Beside a row: nothing, or `run` of d:1 holding the disks, or killed before.
enum Holder { kAlone, kHeld, kHolderKilled };

struct Row {
    const char* what;
    Recorder recorder;
    std::string args;  // split at spaces; "$D" is the row's folder
    int code;
    // Lines of "out:", "err:" or "log:" (of $D/run.log) followed by a fragment
    // it must hold ("~" before a fragment: a regular expression), or "no:" a
    // path the program must not create. "$P" is the holder's pid.
    std::string says;
    const char* waitFor = "";  // send `signal` once the output holds this
    int signal = 0;
    Holder holder = kAlone;
    std::string config = "";  // into $D/c.json after its recordDirs
};

class CliTest : public ::testing::Test {
  protected:
    // A recorder in `dir`: a local record disk, a prepared backup disk, an
    // unprepared one, and the configuration of the first two.
    void makeRecorder(const std::string& dir, Recorder recorder) {
        for (const char* sub : {"rec", "bk", "bare"}) fs::create_directories(dir + "/" + sub);
        write(dir + "/good.json",
              R"({"recordDirs": [{"root": ")" + dir + R"(/rec"}], )" +
                  R"("policies": [{"deviceId": "d", "cameraId": 1, "groupId": 1},
                            {"deviceId": "nodir", "cameraId": 1, "groupId": 7}],)" +
                  R"( "backupDirs": [{"root": ")" + dir + "/bk\"}]}");
        write(dir + "/junk.ts", std::string(1000, 'x'));
        ASSERT_EQ(0, runProgram({"prepare-disk", dir + "/bk"}).code);
        if (recorder == kDemo) {
            ASSERT_EQ(0,
                      runProgram({"demo", dir + "/demo", "--minutes", "0.5", "--speed", "0"}).code);
        }
        if (recorder == kEmpty || recorder == kDemo) return;
        const Result r = runProgram({"record", "--config", dir + "/good.json", "--device", "d",
                                     "--camera", "1", "--seconds", "60", "--file-seconds", "30"});
        ASSERT_EQ(0, r.code) << r.err;
        for (const auto& entry : fs::recursive_directory_iterator(dir + "/rec/record")) {
            if (recorder == kUnreadable && entry.path().filename() == "record.idx") {
                fs::rename(entry.path(), entry.path().string() + ".away");
                fs::create_directory(entry.path());
                return;
            }
            if (recorder == kCutShort && entry.path().extension() == ".ts") {
                fs::resize_file(entry.path(), entry.file_size() - 100);
                return;
            }
        }
        ASSERT_EQ(kRecorded, recorder) << "no file to spoil";
    }

    rectest::TempDir m_tmp;
};

TEST_F(CliTest, InvocationsExitAndSayAsTheReadmeSays) {
    const std::string run = "run --config $D/good.json --job d:1";
    const std::string runC = "run --config $D/c.json --job d:1";  // c.json: the row's config
    const std::string policy = R"({"deviceId": "d", "cameraId": 1, "groupId": 1}])";
    const std::string backup = R"(, "backupDirs": [{"root": "$D/bk"}])";
    const std::string refused = "err:$D/rec is in use by pid $P (nvr-backup run)";
    std::vector<Row> rows = {
        {"no command", kEmpty, "", 2, "err:A subcommand is required"},
        {"a negative speed", kEmpty, run + " --speed -1", 2,
         "err:--speed must be a number of 0 or more"},
        {"a camera that is no number", kEmpty, "run --config $D/good.json --job d:x", 2,
         "err:is not a camera number"},
        {"a demo of no minutes", kEmpty, "demo $D/demo --minutes 0", 2,
         "err:--minutes a number above 0\nno:$D/demo"},
        {"the version", kEmpty, "--version", 0, std::string("out:nvr-backup ") + NVR_VERSION},
        {"a log in a missing folder", kEmpty, run + " --log $D/missing/run.log", 2,
         "err:the folder of the log file, $D/missing, does not exist (it is not created)\n"
         "no:$D/missing"},
        {"a configuration that is no JSON", kEmpty, "ls --config $D/c.json", 2, "err:c.json", "", 0,
         kAlone, "{ not json"},
        {"a configuration that does not exist", kEmpty, "run --config $D/none.json --job d:1", 2,
         "err:configuration $D/none.json does not exist"},
        {"an unprepared backup disk", kEmpty, runC, 2,
         "err:$D/bare is not a prepared backup disk; prepare it with: nvr-backup prepare-disk "
         "$D/bare",
         "", 0, kAlone, policy + R"(, "backupDirs": [{"root": "$D/bare"}]})"},
        {"a backup disk that is not there", kEmpty, "ls --config $D/c.json", 2,
         "err:backup directory $D/none does not exist", "", 0, kAlone,
         policy + R"(, "backupDirs": [{"root": "$D/none"}]})"},
        {"a camera that no policy records", kEmpty, "run --config $D/good.json --job d:2", 2,
         "err:camera d:2: no policy of the configuration records it"},
        {"a group without record disk", kEmpty, "run --config $D/good.json --job nodir:1", 2,
         "err:group 7, which has no local record directory"},
        {"an import of no MPEG-TS", kEmpty,
         "record --config $D/good.json --device d --import $D/junk.ts", 2,
         "err:junk.ts: nothing imported: not an MPEG-TS file\nno:$D/rec/record"},
        {"until-empty moves all", kRecorded, run + " --until-empty --speed 0 --log $D/run.log", 0,
         "out:2 record files done and off the local disks; dropped 0 nodes; still to move 0 "
         "files\nlog:left the local disk"},
        {"a file cut in a packet", kCutShort, run + " --until-empty --speed 0", 0,
         "err:1 record file is passed over and stays on the local disk"},
        {"an unreadable day index", kUnreadable, run + " --until-empty --speed 0", 1,
         "err:record.idx cannot be read: I/O error [-707]"},
        {"ls after the demo", kDemo, "ls --config $D/demo/recorder.json", 0,
         "out:~Times are local time \\((UTC|.+, UTC[+-]\\d\\d:\\d\\d)\\), as in the log\n"
         "out:~ \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\.\\. \n"
         "out:~demo-nvr:1  [1-9][0-9,]* nodes, 0 repeats\n"
         "out:~demo-nvr:2  [1-9][0-9,]* nodes, 0 repeats"},
        {"SIGINT, all backup disks full", kRecorded, runC + " --speed 5", 130,
         "out:SIGINT: stopping the jobs\nerr:although record files wait: every backup disk is full",
         "has moved nothing", SIGINT, kAlone, policy + backup + R"(, "backupReserveBytes": 1e15})"},
        {"SIGTERM stops run", kEmpty, run, 143, "out:SIGTERM: stopping the jobs", "Ctrl-C stops",
         SIGTERM},
        // One program per disks: the lock names its holder and dies with it.
        {"a second run on the same disks", kEmpty, run + " --until-empty", 2, refused, "", 0,
         kHeld},
        {"the holder killed; an IPv6", kEmpty,
         "run --config $D/good.json --job d:1:fe80::1 --until-empty", 0,
         "out:nothing to move: no job's local disks hold a record file", "", 0, kHolderKilled},
    };
    // Hostile configurations, after {"recordDirs": [{"root": "$D/rec"}], "policies": [,
    // and names that lead out of the roots: refused with the field or name.
    const std::pair<std::string, std::string> configs[] = {
        {policy + backup + R"(, "backupReserveBytes": 1e400})",
         R"("backupReserveBytes" out of range (1e400))"},
        {R"({"deviceId": "d", "cameraID": 1, "groupId": 1}])" + backup + "}",
         R"("policies[0].cameraID" unknown (did you mean "cameraId"?))"},
        {policy + R"(, "backupDirs": [{"root": "$D/rec/"}]})",
         R"("backupDirs[0].root" is the same folder as recordDirs[0].root)"},
        {R"({"deviceId": ".recycle", "groupId": 1}])" + backup + "}",
         R"("policies[0].deviceId" begins with ".")"},
    };
    for (const auto& [config, field] : configs) {
        rows.push_back({field.c_str(), kEmpty, "ls --config $D/c.json", 2, "err:field " + field, "",
                        0, kAlone, config});
    }
    const std::pair<const char*, const char*> names[] = {
        {"run --config $D/good.json --job a/b:1", R"(device id "a/b" holds a "/")"},
        {"record --config $D/good.json --device d --ip ..", R"(device IP ".." holds "..")"},
    };
    for (const auto& [args, name] : names) {
        rows.push_back({args, kEmpty, args, 2,
                        "err:" + std::string(name) + " (unsafe name)\nno:$D/rec/record"});
    }
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string dir = m_tmp.sub("row" + std::to_string(index++));
        ASSERT_NO_FATAL_FAILURE(makeRecorder(dir, row.recorder));
        pid_t holder = 0;
        auto expand = [&](std::string text) {
            for (size_t at; (at = text.find("$D")) != std::string::npos;) text.replace(at, 2, dir);
            for (size_t at; (at = text.find("$P")) != std::string::npos;) {
                text.replace(at, 2, std::to_string(holder));
            }
            return text;
        };
        if (!row.config.empty()) {
            write(dir + "/c.json",
                  expand(R"({"recordDirs": [{"root": "$D/rec"}], "policies": [)" + row.config));
        }
        std::vector<std::string> args;
        std::istringstream words(expand(row.args));
        for (std::string w; words >> w;) args.push_back(w);
        Result r;
        if (row.holder == kAlone) {
            r = runProgram(args, row.waitFor, [&](pid_t pid) { kill(pid, row.signal); });
        } else {
            const Result held = runProgram({"run", "--config", dir + "/good.json", "--job", "d:1"},
                                           " running, clock speed", [&](pid_t pid) {
                                               holder = pid;
                                               if (row.holder == kHeld) r = runProgram(args);
                                               kill(pid, SIGKILL);
                                           });
            ASSERT_EQ(-1, held.code) << held.out << held.err;
            if (row.holder == kHolderKilled) r = runProgram(args);
        }
        EXPECT_EQ(row.code, r.code) << "stdout:\n" << r.out << "stderr:\n" << r.err;
        std::istringstream says(row.says);
        for (std::string say; std::getline(says, say);) {
            const std::string where = say.substr(0, say.find(':'));
            const std::string fragment = expand(say.substr(where.size() + 1));
            if (where == "no") {
                EXPECT_FALSE(fs::exists(fragment)) << fragment;
                continue;
            }
            const std::string text = where == "out"   ? r.out
                                     : where == "err" ? r.err
                                                      : read(dir + "/run.log");
            EXPECT_TRUE(fragment[0] == '~' ? std::regex_search(text, std::regex(fragment.substr(1)))
                                           : text.find(fragment) != std::string::npos)
                << "no \"" << fragment << "\" in " << where << ":\n"
                << text;
        }
    }
}

// The kill and restart: two cameras recorded in batches (the second crosses a
// midnight, camera 2 changes its picture size half way), `run --until-empty`
// killed with SIGKILL again and again (a new batch whenever the local disks
// are empty) and then let run to its end. A node moved again after a kill is
// a repeat, not a failure. The kill moments are seeded (NVR_KILL_SEED=n) and
// scaled to one uncut run, so a slow machine only moves the moments.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int kBatchSeconds = 120;  // the sanitizers' builds run several times slower
#else
const int kBatchSeconds = 600;
#endif
const char* const kDevice = "cam-box";
const int kCameras[] = {1, 2};
const int kKills = 24;

// Every node of the complete record files of a camera, in file order: its
// time and length, and a hash of its bytes with the time stamps shifted to
// start at 0 (as the packager rewrites them), so a frame and its copy match.
using Frames = std::vector<std::pair<RecordInventory::Node, unsigned long long>>;
Frames readFrames(const std::vector<RecordDirInfoEx>& dirs, int camera) {
    Frames frames;
    std::vector<RecordFileInfo> infos;
    EXPECT_EQ(0, RecordInventory::files(dirs, kDevice, camera, infos));
    for (const RecordFileInfo& info : infos) {
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        EXPECT_EQ(0, openRecordFileForRead(info, file, walk)) << info.createRecordFileName();
        if (file.isNull()) continue;
        while (walk.seekNext()) {
            RecordIndexNode node;
            walk.getCurrentNodeInfo(node);
            std::vector<unsigned char> data(static_cast<size_t>(node.getDataLen()));
            int got = 0;
            for (int r = 1; got < node.getDataLen() && r > 0; got += r) {
                r = file->read(reinterpret_cast<char*>(data.data()) + got, node.getDataLen() - got);
            }
            MPEG_TS::MPEG_TS_Packager::adjustTimeStamp(data.data(),
                                                       static_cast<unsigned>(data.size()), 0);
            unsigned long long hash = 1469598103934665603ULL;  // FNV-1a
            for (unsigned char c : data) hash = (hash ^ c) * 1099511628211ULL;
            frames.push_back(
                {{walk.getFileBeginTime() + node.getTimeOffset(), node.getDataLen()}, hash});
        }
        file->close();
    }
    return frames;
}

TEST_F(CliTest, EveryNodeArrivesByContentWhateverMomentsTheMoveIsKilledAt) {
    RecorderConfig config;
    const std::string dir = m_tmp.path();
    config.recordDirs = {makeRecordDir(dir + "/local1", RecordDirInfoEx::kAttributeLocal),
                         makeRecordDir(dir + "/local2", RecordDirInfoEx::kAttributeLocal)};
    config.backupDirs = {makeRecordDir(dir + "/backup", RecordDirInfoEx::kAttributeBackup)};
    config.recycleRetentionSeconds = 0;  // moved files are purged at once
    for (int camera : kCameras) config.policies.push_back({kDevice, camera, 1});
    for (const char* sub : {"/local1", "/local2", "/backup"}) fs::create_directories(dir + sub);
    const std::string path = dir + "/recorder.json";
    ASSERT_EQ(0, config.saveFile(path));
    ASSERT_EQ(0, runProgram({"prepare-disk", dir + "/backup"}).code);
    RecordDiskManagerImpl::setConfiguration(config);

    auto listed = [&](const std::vector<RecordDirInfoEx>& dirs) {  // complete files
        size_t count = 0;
        for (int camera : kCameras) {
            std::vector<RecordFileInfo> infos;
            EXPECT_EQ(0, RecordInventory::files(dirs, kDevice, camera, infos));
            count += infos.size();
        }
        return count;
    };
    Frames recorded[3];  // per camera, in time order: each batch is moved before the next
    int batches = 0;
    auto recordBatch = [&] {
        const long long midnightMs = 1700006400000LL;  // 2023-11-15 00:00:00 UTC
        const long long begin = midnightMs + (2 * batches++ - 3) * kBatchSeconds * 500LL;
        for (int camera : kCameras) {
            const Result r =
                runProgram({"record", "--config", path, "--device", kDevice, "--camera",
                            std::to_string(camera), "--dir", std::to_string(camera - 1), "--begin",
                            std::to_string(begin), "--seconds", std::to_string(kBatchSeconds),
                            "--file-seconds", "30", "--size-change",
                            std::to_string(camera == 2 ? kBatchSeconds / 2 : -1)});
            ASSERT_EQ(0, r.code) << r.err;
            const Frames batch = readFrames(config.recordDirs, camera);
            recorded[camera].insert(recorded[camera].end(), batch.begin(), batch.end());
        }
    };
    const std::vector<std::string> runArgs{"run",   "--config",      path,    "--speed",
                                           "0",     "--until-empty", "--job", "cam-box:1",
                                           "--job", "cam-box:2"};

    ASSERT_NO_FATAL_FAILURE(recordBatch());
    const auto uncutStart = std::chrono::steady_clock::now();
    Result r = runProgram(runArgs);
    ASSERT_EQ(0, r.code) << r.out << r.err;
    const std::chrono::duration<double> uncut = std::chrono::steady_clock::now() - uncutStart;

    // Kill moments from 3 ms up to an uncut run, even on a log scale.
    const char* seedText = std::getenv("NVR_KILL_SEED");
    const unsigned seed = seedText != nullptr ? std::stoul(seedText) : 20231114;
    std::mt19937 random(seed);
    const double minDelay = 0.003;
    std::uniform_real_distribution<double> exponent(0, std::log(uncut.count() / minDelay));
    const int out = ::open((dir + "/runs.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    int kills = 0, runs = 0;
    for (; kills < kKills && runs < 4 * kKills; ++runs) {
        if (listed(config.recordDirs) == 0) {
            ASSERT_NO_FATAL_FAILURE(recordBatch());
        }
        const pid_t pid = spawn(runArgs, out, out);
        std::this_thread::sleep_for(
            std::chrono::duration<double>(minDelay * std::exp(exponent(random))));
        kill(pid, SIGKILL);  // a child that ended already is a zombie: no effect
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        ASSERT_TRUE(WIFEXITED(status) ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == SIGKILL)
            << read(dir + "/runs.txt");
        kills += WIFSIGNALED(status);
    }
    ::close(out);
    EXPECT_GE(kills, 20);
    r = runProgram(runArgs);
    ASSERT_EQ(0, r.code) << "the final run\n" << r.out << r.err;

    // Repeats aside, the backup holds every recorded node, its bytes, in order.
    for (int camera : kCameras) {
        const Frames& expected = recorded[camera];
        const Frames arrived = readFrames(config.backupDirs, camera);
        std::set<std::pair<long long, int>> seen;
        Frames once;  // the first of each node, in place
        for (const auto& f : arrived) {
            if (seen.insert({f.first.time, f.first.length}).second) once.push_back(f);
        }
        const auto diff = std::mismatch(once.begin(), once.end(), expected.begin(), expected.end());
        EXPECT_TRUE(diff.first == once.end() && diff.second == expected.end())
            << "camera " << camera << ": from node " << diff.second - expected.begin() << " of "
            << expected.size() << " on, the backup differs (lost, changed or out of order)";
    }

    // No data file is left locally, and every one on the backup disk is listed
    // complete by its day's index (none left "being recorded").
    size_t local = 0, backedUp = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().string();
        if (entry.path().extension() != ".ts" || name.find("/.") != std::string::npos) continue;
        ++(name.find(dir + "/local") == 0 ? local : backedUp);
    }
    EXPECT_EQ(0u, local);
    EXPECT_EQ(listed(config.backupDirs), backedUp);
    std::printf("kill/restart (seed %u): %d kills in %d runs over %d batches, uncut run %.2f s\n",
                seed, kills, runs, batches, uncut.count());
}

}  // namespace
