// The program's commands: job parsing, the refusals of a bad configuration,
// an unknown camera and a missing backup directory, and the demo from start
// to finish twice on a temporary folder (the second run finds nothing to move,
// the listing counts no repeat), and the inventory's repeats and counts.
#include "Commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../recordlib/RecordTestSupport.h"
#include "RecordInventory.h"
#include "store/BackupDisk.h"

namespace fs = std::filesystem;

namespace {

class CommandsTest : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(m_tmp.sub(name)) << text;
        return m_tmp.sub(name);
    }

    rectest::TempDir m_tmp;
    const std::string m_root = m_tmp.path();
};

TEST_F(CommandsTest, JobSpecs) {
    JobSpec job;
    std::string error;
    ASSERT_TRUE(parseJobSpec("nvr-7:3", job, error));
    EXPECT_EQ("nvr-7", job.deviceId);
    EXPECT_EQ(3, job.cameraId);
    EXPECT_EQ("", job.deviceIP);
    ASSERT_TRUE(parseJobSpec("nvr-7:3:fe80::1", job, error));  // the IP keeps its colons
    EXPECT_EQ("fe80::1", job.deviceIP);
    EXPECT_FALSE(parseJobSpec("nvr-7", job, error));
    EXPECT_FALSE(parseJobSpec(":3", job, error));
    EXPECT_FALSE(parseJobSpec("nvr-7:0", job, error));
    EXPECT_FALSE(parseJobSpec("nvr-7:x", job, error));
    EXPECT_NE(std::string::npos, error.find("nvr-7:x"));
}

TEST_F(CommandsTest, BadConfigurationsAreRefused) {
    RecorderConfig config;
    std::string error;
    EXPECT_FALSE(loadConfiguration(m_root + "/none.json", config, error));
    EXPECT_NE(std::string::npos, error.find("does not exist"));
    EXPECT_FALSE(loadConfiguration(write("bad.json", "{ not json"), config, error));
    EXPECT_NE(std::string::npos, error.find("bad.json"));

    fs::create_directories(m_root + "/rec");
    const std::string text = "{\"recordDirs\":[{\"root\":\"" + m_root +
                             "/rec\",\"attribute\":4}],\"policies\":[{\"deviceId\":\"d\","
                             "\"cameraId\":1,\"groupId\":1}],\"backupDirs\":[{\"root\":\"" +
                             m_root + "/backup\"}]}";
    const std::string path = write("rec.json", text);
    EXPECT_FALSE(loadConfiguration(path, config, error));
    EXPECT_EQ("backup directory " + m_root + "/backup does not exist", error);

    fs::create_directories(m_root + "/backup");
    EXPECT_FALSE(loadConfiguration(path, config, error));
    EXPECT_EQ(m_root +
                  "/backup is not a prepared backup disk; prepare it with: nvr-backup "
                  "prepare-disk " +
                  m_root + "/backup",
              error);
    ASSERT_EQ(0, prepareDiskCommand(PrepareDiskOptions{m_root + "/backup"}));
    ASSERT_TRUE(loadConfiguration(path, config, error)) << error;
    EXPECT_TRUE(hasPolicy(config, "d", 1));
    EXPECT_FALSE(hasPolicy(config, "d", 2));
    EXPECT_FALSE(hasPolicy(config, "D", 1));

    RunOptions run;
    run.configPath = path;
    run.jobs = {"d:2"};
    EXPECT_EQ(2, runCommand(run));  // unknown camera
    run.configPath = m_root + "/none.json";
    EXPECT_EQ(2, runCommand(run));
}

// Hostile configurations and input: `ls` and `run` refuse the same
// configurations, with exit code 2 and a message that names the field.
TEST_F(CommandsTest, HostileInputExitsWithTwoAndTheReason) {
    struct Row {
        const char* command;  // "ls", "run", "import" or "record"
        std::string config;   // after {"recordDirs": [{"root": "$R/rec"}], "policies": [...]
        const char* message;
        std::string device = "d:5";  // the job of "run", DEVICE:IP of "record"
    };
    const std::string policy = R"({"deviceId": "d", "cameraId": 1, "groupId": 1})";
    const std::string backup = R"(, "backupDirs": [{"root": "$R/backup"}])";
    const Row rows[] = {
        {"ls", policy + "]" + backup + R"(, "backupReserveBytes": 1e400})",
         R"(field "backupReserveBytes" out of range (1e400))"},
        {"run", policy + "]" + backup + R"(, "backupReserveBytes": 1e400})",
         R"(field "backupReserveBytes" out of range (1e400))"},
        {"run", R"({"deviceId": "d", "cameraID": 1, "groupId": 1}])" + backup + "}",
         R"(field "policies[0].cameraID" unknown (did you mean "cameraId"?))"},
        {"ls", policy + R"(], "backupDir": [{"root": "$R/backup"}]})",
         R"(field "backupDir" unknown (did you mean "backupDirs"?))"},
        {"run", policy + R"(], "backupDirs": [{"root": "$R/rec/"}]})",
         R"(field "backupDirs[0].root" is the same folder as recordDirs[0].root)"},
        {"ls", policy + R"(], "backupDirs": [{"root": "$R/rec/usb"}]})",
         R"(field "backupDirs[0].root" lies inside recordDirs[0].root)"},
        {"import", policy + "]" + backup + "}",
         "mpeg4.ts: nothing imported: no H.264 or H.265 video with a key frame"},
        {"import", policy + "]" + backup + "}", "junk.ts: nothing imported: not an MPEG-TS file"},
        // Names that would lead outside the roots, from the configuration and
        // from the command line.
        {"ls", R"({"deviceId": "..", "groupId": 1}])" + backup + "}",
         R"(field "policies[0].deviceId" holds "..")"},
        {"ls", R"({"deviceId": ".recycle", "groupId": 1}])" + backup + "}",
         R"(field "policies[0].deviceId" begins with ".")"},
        {"ls", R"({"deviceId": "a\u0007b", "groupId": 1}])" + backup + "}",
         R"(field "policies[0].deviceId" holds a control character)"},
        {"run", policy + "]" + backup + "}",
         R"(job "a/b:1": device id "a/b" holds a "/" (unsafe name))", "a/b:1"},
        {"run", policy + "]" + backup + "}",
         R"(job "d:1:1.2.3.4/../../x": device IP "1.2.3.4/../../x" holds a "/" (unsafe name))",
         "d:1:1.2.3.4/../../x"},
        {"record", policy + "]" + backup + "}", R"(device id "../../x" holds a "/" (unsafe name))",
         "../../x:1.2.3.4"},
        {"record", policy + "]" + backup + "}", R"(device IP ".." holds ".." (unsafe name))",
         "d:.."},
    };
    fs::create_directories(m_root + "/rec/usb");
    fs::create_directories(m_root + "/backup");
    std::string diskId;
    ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), m_root + "/backup", diskId));
    std::ofstream(m_root + "/junk.ts") << std::string(1000, 'x');
    const std::string mpeg4 = m_root + "/mpeg4.ts";
    const bool ffmpeg =
        std::system(("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=25 -t 1 "
                     "-c:v mpeg4 -f mpegts -y '" +
                     mpeg4 + "' >/dev/null 2>&1")
                        .c_str()) == 0;
    for (const Row& row : rows) {
        std::string text = R"({"recordDirs": [{"root": "$R/rec"}], "policies": [)" + row.config;
        for (size_t at; (at = text.find("$R")) != std::string::npos;) text.replace(at, 2, m_root);
        const std::string path = write("hostile.json", text);
        const std::string command = row.command;
        const std::string clip =
            std::string(row.message).substr(0, std::string(row.message).find(':'));
        if (command == "import" && clip == "mpeg4.ts" && !ffmpeg) continue;  // ffmpeg missing
        testing::internal::CaptureStderr();
        int code = -1;
        if (command == "ls") {
            ListOptions ls;
            ls.configPath = path;
            code = listCommand(ls);
        } else if (command == "run") {
            RunOptions run;
            run.configPath = path;
            run.jobs = {row.device};
            code = runCommand(run);
        } else if (command == "record") {
            RecordOptions record;
            record.configPath = path;
            record.deviceId = row.device.substr(0, row.device.find(':'));
            record.deviceIP = row.device.substr(row.device.find(':') + 1);
            code = recordCommand(record);
        } else {
            RecordOptions record;
            record.configPath = path;
            record.deviceId = "d";
            record.importPath = m_root + "/" + clip;
            code = recordCommand(record);
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(2, code) << row.command << " " << text;
        EXPECT_NE(std::string::npos, err.find(row.message)) << err;
    }
    EXPECT_FALSE(fs::exists(m_root + "/rec/record")) << "nothing was imported";
}

// A disk that cannot be read makes `ls` say so and exit 1; a disk that is not
// mounted is only shown as missing.
TEST_F(CommandsTest, ListingThatFailsIsReportedNotTakenForEmpty) {
    fs::create_directories(m_root + "/rec");
    fs::create_directories(m_root + "/backup");
    const std::string path = write(
        "rec.json", "{\"recordDirs\":[{\"root\":\"" + m_root +
                        "/rec\",\"attribute\":4}],\"policies\":[{\"deviceId\":\"d\",\"cameraId\":1,"
                        "\"groupId\":1}],\"backupDirs\":[{\"root\":\"" +
                        m_root + "/backup\"}]}");
    RecorderConfig config;
    std::string error;
    ASSERT_EQ(0, prepareDiskCommand(PrepareDiskOptions{m_root + "/backup"}));
    ASSERT_TRUE(loadConfiguration(path, config, error)) << error;
    rectest::recordFile(config.recordDirs[0], "d", "1.2.3.4", 1, 1704067200000LL, 2);
    const std::string device = m_root + "/rec/record/d_1.2.3.4_1";

    struct Case {
        const char* op;  // "" for no fault
        std::string path;
        int code;
        int exitCode;
        int files;  // complete files of d:1 the inventory answers
        const char* says;
    };
    const Case cases[] = {
        {"", "", 0, 0, 1, "d_1.2.3.4_1: 1 file(s)"},
        {"list", m_root + "/rec/record", kRecordIOError, 1, 0,
         "cannot be listed: I/O error [-707]"},
        {"stat", m_root + "/rec", kRecordIOError, 1, 0, "cannot be listed: I/O error [-707]"},
        {"list", device, kRecordIOError, 1, 0, "-- incomplete"},
        {"stat", m_root + "/rec", kRecordNotFound, 0, 0, "-- does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.op) + " " + c.path);
        rectest::FaultFileSystem faults;
        rectest::FileSystemScope scope(&faults);
        if (*c.op != '\0') faults.failAt(c.op, c.path, c.code);
        std::vector<RecordFileInfo> files;
        EXPECT_EQ(c.exitCode == 0 ? kRecordOk : c.code,
                  RecordInventory::files(config.recordDirs, "d", 1, files));
        EXPECT_EQ(c.files, static_cast<int>(files.size()));

        ListOptions list;
        list.configPath = path;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.exitCode, listCommand(list));
        const std::string said =
            testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, said.find(c.says)) << said;
    }
}

TEST_F(CommandsTest, DemoMovesEverythingThenFindsNothingLeft) {
    DemoOptions demo;
    demo.dir = m_root + "/demo";
    demo.speed = 0;
    demo.minutes = 0.5;
    EXPECT_EQ(0, demoCommand(demo));
    EXPECT_TRUE(fs::exists(demo.dir + "/recorder.json"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, demoCommand(demo));
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, output.find("Nothing left to move")) << output;

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, listCommand(ListOptions{demo.dir + "/recorder.json", false}));
    output = testing::internal::GetCapturedStdout();
    EXPECT_THAT(output, testing::ContainsRegex("demo-nvr:1  [1-9][0-9,]* nodes, 0 repeats"));
    EXPECT_THAT(output, testing::ContainsRegex("demo-nvr:2  [1-9][0-9,]* nodes, 0 repeats"));

    // Disks that cannot be listed are never taken for disks with nothing left.
    rectest::FaultFileSystem faults;
    rectest::FileSystemScope scope(&faults);
    faults.failOn("list", kRecordIOError);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, demoCommand(demo));
    output = testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string::npos, output.find("Nothing left to move")) << output;
    EXPECT_NE(std::string::npos, errors.find("cannot be read: I/O error [-707]")) << errors;
}

// A second program on the same disks is refused with the holder's pid and
// command, and the disks are free again once the first has ended (also after
// a kill: the lock dies with its process).
TEST_F(CommandsTest, SecondProgramOnTheSameDisksIsRefused) {
    fs::create_directories(m_root + "/rec");
    fs::create_directories(m_root + "/backup");
    ASSERT_EQ(0, prepareDiskCommand(PrepareDiskOptions{m_root + "/backup"}));
    const std::string config = write(
        "rec.json", R"({"recordDirs": [{"root": ")" + m_root +
                        R"(/rec"}], "policies": [{"deviceId": "d", "cameraId": 1, "groupId": 1}],
                        "backupDirs": [{"root": ")" +
                        m_root + R"(/backup"}]})");
    int out[2];
    ASSERT_EQ(0, pipe(out));
    std::vector<std::string> words;
#ifdef NVR_BACKUP_EMULATOR
    // The program of a cross build runs under the emulator, like the tests.
    std::istringstream emulator(NVR_BACKUP_EMULATOR);
    for (std::string w; emulator >> w;) words.push_back(w);
#endif
    words.insert(words.end(), {NVR_BACKUP_BINARY, "run", "--config", config, "--job", "d:1"});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const pid_t first = fork();
    if (first == 0) {  // only async-signal-safe calls until exec
        dup2(out[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    // Its jobs run once it has printed so; it holds the disks from before.
    std::string printed;
    char c;
    const std::string running = " running, clock speed";
    while (printed.find(running) == std::string::npos && ::read(out[0], &c, 1) == 1) printed += c;
    ASSERT_NE(std::string::npos, printed.find(running)) << printed;

    struct Row {
        const char* command;
        int code;
        std::string message;  // on standard error
    };
    const std::string refusal = m_root + "/rec is in use by pid " + std::to_string(first);
    const Row rows[] = {
        {"run", 2, refusal + " (nvr-backup run)"},
        {"demo", 2, refusal + " (nvr-backup run)"},
        {"run after the first was killed", 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        if (row.code == 0) {
            ASSERT_EQ(0, kill(first, SIGKILL));
            int status = 0;
            ASSERT_EQ(first, waitpid(first, &status, 0));
        }
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int code;
        if (std::string(row.command) == "demo") {
            // A demo folder whose configuration is the running program's.
            fs::create_directories(m_root + "/demo");
            fs::copy_file(config, m_root + "/demo/recorder.json",
                          fs::copy_options::overwrite_existing);
            DemoOptions demo;
            demo.dir = m_root + "/demo";
            code = demoCommand(demo);
        } else {
            RunOptions run;
            run.configPath = config;
            run.jobs = {"d:1"};
            run.untilEmpty = true;  // nothing is recorded: ends at once
            code = runCommand(run);
        }
        testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.code, code) << err;
        EXPECT_NE(std::string::npos, err.find(row.message)) << err;
    }
    ::close(out[0]);
}

TEST(RecordInventoryTest, RepeatsAndCounts) {
    using RecordInventory::Node;
    struct Case {
        std::vector<Node> nodes;
        std::vector<Node> once;  // the first of every time and length, in place
    };
    const Case cases[] = {
        {{}, {}},
        {{{1000, 10}, {1500, 10}}, {{1000, 10}, {1500, 10}}},
        {{{1000, 10}, {1500, 10}, {1000, 10}, {1500, 10}, {2000, 10}},
         {{1000, 10}, {1500, 10}, {2000, 10}}},
        {{{1000, 10}, {1000, 11}, {1000, 10}}, {{1000, 10}, {1000, 11}}},  // length tells apart
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.once, RecordInventory::withoutRepeats(c.nodes));
        EXPECT_EQ(static_cast<int>(c.nodes.size() - c.once.size()),
                  RecordInventory::repeats(c.nodes));
    }
    const std::pair<long long, const char*> counts[] = {
        {0, "0"}, {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}, {-1234, "-1,234"}};
    for (const auto& c : counts) EXPECT_EQ(c.second, RecordInventory::formatCount(c.first));
}

}  // namespace
