// The program as an operator uses it: one row per invocation (its arguments,
// what the recorder holds, a signal sent once the output shows a line), with
// the exit code and a fragment of what it must say. Each row gets a recorder
// of its own in a temporary folder, made with the program's own commands.
// Nothing here measures a duration: a row that waits for a line ends by that
// line (or by a generous bound that only catches a hung program).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../recordlib/RecordTestSupport.h"

namespace fs = std::filesystem;

namespace {

const auto kHungLimit = std::chrono::seconds(120);

struct Result {
    int code = -1;  // the exit code; -1 when it died of a signal or hung
    std::string out;
    std::string err;
};

// Runs the program with `args`. With `waitFor` set, sends `signal` once the
// output (standard output and error) holds it.
Result runProgram(const std::vector<std::string>& args, const std::string& waitFor = "",
                  int signal = 0) {
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
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {  // only async-signal-safe calls until exec
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* text[2] = {&result.out, &result.err};
    bool signalled = waitFor.empty();
    bool hung = false;
    const auto limit = std::chrono::steady_clock::now() + kHungLimit;
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
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
        if (!signalled && (result.out + result.err).find(waitFor) != std::string::npos) {
            kill(pid, signal);
            signalled = true;
        }
        if (!hung && std::chrono::steady_clock::now() > limit) {
            kill(pid, SIGKILL);
            hung = true;
        }
    }
    for (pollfd& f : fds) {
        if (f.fd >= 0) ::close(f.fd);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!hung && WIFEXITED(status)) result.code = WEXITSTATUS(status);
    return result;
}

enum Recorder {
    kEmpty,       // no recording
    kRecorded,    // 60 s of camera d:1 in two record files
    kCutShort,    // the same, the first data file cut in the middle of a packet
    kUnreadable,  // the same, its day index a folder (reading it fails: EISDIR)
};

struct Row {
    const char* what;
    Recorder recorder;
    std::vector<std::string> args;  // "$D" is the row's folder
    const char* waitFor;            // send `signal` once the output holds this
    int signal;
    int code;
    const char* stream;  // "out" or "err": where `fragment` must appear
    std::string fragment;
    const char* absent = "";  // a path the program must not create
    const char* logged = "";  // a fragment of $D/run.log
};

class CliTest : public ::testing::Test {
  protected:
    // A recorder in `dir`: a local record disk, a prepared backup disk, an
    // unprepared one, and the configurations of the rows.
    void makeRecorder(const std::string& dir, Recorder recorder) {
        for (const char* sub : {"rec", "bk", "bare"}) fs::create_directories(dir + "/" + sub);
        const std::string policies =
            R"("policies": [{"deviceId": "d", "cameraId": 1, "groupId": 1},
                            {"deviceId": "nodir", "cameraId": 1, "groupId": 7}])";
        const std::string rec = R"({"recordDirs": [{"root": ")" + dir + R"(/rec"}], )";
        write(dir + "/good.json",
              rec + policies + R"(, "backupDirs": [{"root": ")" + dir + "/bk\"}]}");
        write(dir + "/full.json", rec + policies + R"(, "backupReserveBytes": 1125899906842624,
              "backupDirs": [{"root": ")" +
                                      dir + "/bk\"}]}");
        write(dir + "/bare.json",
              rec + policies + R"(, "backupDirs": [{"root": ")" + dir + "/bare\"}]}");
        write(dir + "/bad.json", "{ not json");
        ASSERT_EQ(0, runProgram({"prepare-disk", dir + "/bk"}).code);
        if (recorder == kEmpty) return;
        const Result r = runProgram({"record", "--config", dir + "/good.json", "--device", "d",
                                     "--camera", "1", "--seconds", "60", "--file-seconds", "30"});
        ASSERT_EQ(0, r.code) << r.err;
        if (recorder == kUnreadable) {
            for (const auto& entry : fs::recursive_directory_iterator(dir + "/rec/record")) {
                if (entry.path().filename() == "record.idx") {
                    fs::rename(entry.path(), entry.path().string() + ".away");
                    fs::create_directory(entry.path());
                    return;
                }
            }
            FAIL() << "no day index was written";
        }
        if (recorder != kCutShort) return;
        for (const auto& entry : fs::recursive_directory_iterator(dir + "/rec/record")) {
            if (entry.path().extension() == ".ts") {
                fs::resize_file(entry.path(), entry.file_size() - 100);
                return;
            }
        }
        FAIL() << "no record file was written";
    }

    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }

    static std::string read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    rectest::TempDir m_tmp;
};

TEST_F(CliTest, InvocationsExitAsTheReadmeSays) {
    const std::vector<std::string> run = {"run", "--config", "$D/good.json", "--job", "d:1"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = run;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const Row rows[] = {
        {"no command is a usage error", kEmpty, {}, "", 0, 2, "err", "A subcommand is required"},
        {"run without options names the missing one",
         kEmpty,
         {"run"},
         "",
         0,
         2,
         "err",
         "--config is required"},
        {"run without a job",
         kEmpty,
         {"run", "--config", "$D/good.json"},
         "",
         0,
         2,
         "err",
         "--job is required"},
        {"a speed that is no number", kEmpty, with({"--speed", "fast"}), "", 0, 2, "err",
         "--speed = fast"},
        {"a negative speed", kEmpty, with({"--speed", "-1"}), "", 0, 2, "err",
         "--speed must be a number of 0 or more"},
        {"a speed that is not a number at all", kEmpty, with({"--speed", "nan"}), "", 0, 2, "err",
         "--speed"},
        {"a camera that is no number",
         kEmpty,
         {"run", "--config", "$D/good.json", "--job", "d:x"},
         "",
         0,
         2,
         "err",
         "is not a camera number"},
        {"a job given twice", kEmpty, with({"--job", "d:1:10.0.0.1"}), "", 0, 2, "err",
         "given twice"},
        {"an unknown option", kEmpty, with({"--bogus"}), "", 0, 2, "err", "not expected: --bogus"},
        {"record for no time",
         kEmpty,
         {"record", "--config", "$D/good.json", "--device", "d", "--seconds", "-5"},
         "",
         0,
         2,
         "err",
         "--seconds must be a number above 0"},
        {"a demo of no minutes",
         kEmpty,
         {"demo", "$D/demo", "--minutes", "0"},
         "",
         0,
         2,
         "err",
         "--minutes a number above 0",
         "$D/demo"},
        {"the version",
         kEmpty,
         {"--version"},
         "",
         0,
         0,
         "out",
         std::string("nvr-backup ") + NVR_VERSION},
        {"the help lists the exit codes",
         kEmpty,
         {"--help"},
         "",
         0,
         0,
         "out",
         "130 stopped by SIGINT, 143 stopped by SIGTERM"},
        {"a log in a missing folder is refused, not made", kEmpty,
         with({"--log", "$D/missing/run.log"}), "", 0, 2, "err",
         "the folder of the log file, $D/missing, does not exist (it is not created)",
         "$D/missing"},
        {"a configuration that is no JSON",
         kEmpty,
         {"ls", "--config", "$D/bad.json"},
         "",
         0,
         2,
         "err",
         "bad.json"},
        {"run refuses it too",
         kEmpty,
         {"run", "--config", "$D/bad.json", "--job", "d:1"},
         "",
         0,
         2,
         "err",
         "bad.json"},
        {"a configuration that does not exist",
         kEmpty,
         {"run", "--config", "$D/none.json", "--job", "d:1"},
         "",
         0,
         2,
         "err",
         "configuration $D/none.json does not exist"},
        {"an unprepared backup disk is refused with the way to prepare it",
         kEmpty,
         {"run", "--config", "$D/bare.json", "--job", "d:1"},
         "",
         0,
         2,
         "err",
         "$D/bare is not a prepared backup disk; prepare it with: nvr-backup prepare-disk "
         "$D/bare"},
        {"a camera that no policy records",
         kEmpty,
         {"run", "--config", "$D/good.json", "--job", "d:2"},
         "",
         0,
         2,
         "err",
         "camera d:2: no policy of the configuration records it"},
        {"a camera whose group has no record directory",
         kEmpty,
         {"run", "--config", "$D/good.json", "--job", "nodir:1"},
         "",
         0,
         2,
         "err",
         "group 7, which has no local record directory"},
        {"ls names the time zone of its times",
         kRecorded,
         {"ls", "--config", "$D/good.json"},
         "",
         0,
         0,
         "out",
         "Times are local time ("},
        {"until-empty on an empty recorder ends at once", kEmpty, with({"--until-empty"}), "", 0, 0,
         "out", "nothing to move: no job's local disks hold a record file it would move"},
        {"until-empty moves every file and logs each", kRecorded,
         with({"--until-empty", "--speed", "0", "--log", "$D/run.log"}), "", 0, 0, "out",
         "2 record files done and off the local disks; dropped 0 nodes; still to move 0 files", "",
         "left the local disk"},
        {"a file cut in a packet is passed over and the run still ends", kCutShort,
         with({"--until-empty", "--speed", "0"}), "", 0, 0, "err",
         "1 record file is passed over and stays on the local disk"},
        {"a day index that cannot be read leaves what is left unknown", kUnreadable,
         with({"--until-empty", "--speed", "0"}), "", 0, 1, "err",
         "record.idx cannot be read: I/O error [-707]"},
        {"a full backup disk is named as the cause of a stall",
         kRecorded,
         {"run", "--config", "$D/full.json", "--job", "d:1", "--speed", "5"},
         "has moved nothing",
         SIGINT,
         130,
         "err",
         "although record files wait: every backup disk is full"},
        {"SIGINT stops run", kRecorded, with({}), "Ctrl-C stops", SIGINT, 130, "out",
         "SIGINT: stopping the jobs"},
        {"SIGTERM stops run", kEmpty, with({}), "Ctrl-C stops", SIGTERM, 143, "out",
         "SIGTERM: stopping the jobs"},
        {"SIGINT stops the demo",
         kEmpty,
         {"demo", "$D/demo", "--minutes", "0.5", "--speed", "1"},
         "Ctrl-C stops",
         SIGINT,
         130,
         "out",
         "Interrupted: the jobs are stopped"},
    };
    int index = 0;
    for (const Row& row : rows) {
        const std::string dir = m_tmp.sub("row" + std::to_string(index++));
        ASSERT_NO_FATAL_FAILURE(makeRecorder(dir, row.recorder)) << row.what;
        auto expand = [&](std::string text) {
            for (size_t at; (at = text.find("$D")) != std::string::npos;) text.replace(at, 2, dir);
            return text;
        };
        std::vector<std::string> args;
        for (const std::string& a : row.args) args.push_back(expand(a));
        const Result r = runProgram(args, row.waitFor, row.signal);
        const std::string& text = std::string(row.stream) == "out" ? r.out : r.err;
        EXPECT_EQ(row.code, r.code) << row.what << "\nstdout:\n" << r.out << "stderr:\n" << r.err;
        EXPECT_NE(std::string::npos, text.find(expand(row.fragment)))
            << row.what << ": no \"" << expand(row.fragment) << "\" in std" << row.stream
            << "\nstdout:\n"
            << r.out << "stderr:\n"
            << r.err;
        if (*row.absent != '\0') {
            EXPECT_FALSE(fs::exists(expand(row.absent))) << row.what;
        }
        if (*row.logged != '\0') {
            EXPECT_NE(std::string::npos, read(dir + "/run.log").find(row.logged)) << row.what;
        }
    }
}

}  // namespace
