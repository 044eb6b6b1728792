// Hostile input and damaged disks on whole moves over real files: index
// entries that name files outside their day folder, record files that cannot
// be opened or read, data that fail the packet check, frames that may not
// start a file. Each row says what goes in and what must come out: which
// nodes arrive on the backup disk, what is dropped (logged with its source
// and counted), what is quarantined, and that nothing outside the roots is
// touched. The job is stepped on this thread with the clock's waits off.
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <random>

#include "../recordlib/RecordTestSupport.h"
#include "BackupService.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "RecordDropCounter.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"
#include "store/RecordQuarantine.h"

using backup_test::LogCapture;
namespace fs = std::filesystem;

namespace {

const long long kBegin = 1700000000000LL;  // ms since the epoch
const char kDevice[] = "dev";
const char kIP[] = "10.0.0.9";
const int kFiles = 4;
const int kNodes = 5;  // per file, 500 ms each, two packets each

using Node = std::pair<long long, int>;  // absolute time (ms), length

// Fails opens or reads of the record files whose path ends with `target`,
// as a file without read permission or a failing disk does (the tests run as
// root, where permissions do not stop a read).
class FailingDisk : public FileSystemWrapper {
  public:
    FailingDisk() : FileSystemWrapper(posixFileSystem()) {}
    std::string target;
    bool failOpen = false;
    bool failRead = false;
    int failedOpens = 0;
    int failedReads = 0;

    int open(const std::string& path, int mode, int& fd) override {
        const bool hit = !target.empty() && mode == kRead && path.size() >= target.size() &&
                         path.compare(path.size() - target.size(), target.size(), target) == 0;
        if (hit && failOpen) {
            ++failedOpens;
            return kRecordIOError;
        }
        int r = FileSystemWrapper::open(path, mode, fd);
        if (r == kRecordOk && hit && failRead) m_failing.insert(fd);
        return r;
    }
    int read(int fd, char* buffer, int count) override {
        if (m_failing.count(fd) != 0) {
            ++failedReads;
            return kRecordIOError;
        }
        return FileSystemWrapper::read(fd, buffer, count);
    }
    int close(int fd) override {
        m_failing.erase(fd);
        return FileSystemWrapper::close(fd);
    }

  private:
    std::set<int> m_failing;  // only the test's thread uses the disk
};

class HostileInputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(m_tmp.sub("local"));
        fs::create_directories(m_tmp.sub("backup"));
        std::string id;
        ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), m_tmp.sub("backup"), id));
        m_config.recordDirs = {makeRecordDir(m_tmp.sub("local"), RecordDirInfoEx::kAttributeLocal)};
        m_config.backupDirs = {
            makeRecordDir(m_tmp.sub("backup"), RecordDirInfoEx::kAttributeBackup)};
        m_config.policies = {{kDevice, 1, 1}};
        RecordDiskManagerImpl::setConfiguration(m_config);
        TaliqTime::setClockSpeed(0);
        MoveLedger::instance().reset();
        RecordQuarantine::reset();
        RecordDropCounter::reset();
    }
    void TearDown() override {
        RecordDiskManagerImpl::setFileSystem(nullptr);
        RecordDiskManagerImpl::setConfiguration(RecorderConfig());
        TaliqTime::setClockSpeed(1);
    }

    // Records kFiles files of kNodes nodes; `keyFrom` is the first node of
    // file 0 that is a key frame (the others start with one).
    void record(int keyFrom) {
        for (int f = 0; f < kFiles; ++f) {
            LocalRecorder rec(m_config.recordDirs[0], kDevice, kIP, 1);
            AVStreamInfo s;
            s.setEncoderType(1);
            s.setImageWidth(640);
            s.setImageHeight(360);
            const long long begin = kBegin + f * kNodes * 500;
            ASSERT_EQ(kRecordOk, rec.startFile(begin, s));
            for (int i = 0; i < kNodes; ++i) {
                std::vector<char> d = rectest::packets(2, f * 100 + i);
                const bool key = i == (f == 0 ? keyFrom : 0);
                ASSERT_EQ(kRecordOk, rec.addNode(d.data(), static_cast<int>(d.size()),
                                                 begin + i * 500, 500, key));
            }
            ASSERT_EQ(kRecordOk, rec.finishFile());
            m_files.push_back(rec.currentFile());
        }
    }
    std::string deviceDir() const { return BasicTool::getDeviceDirString(kDevice, kIP, 1); }
    std::vector<RecordFileInfo> listed(const std::vector<RecordDirInfoEx>& dirs) {
        RetrieverFileQuery query;
        query.setRecordDirInfo(dirs);
        query.setDeviceList({deviceDir()});
        std::vector<RecordFileInfo> out;
        query.listRecordFiles(out, true);
        return out;
    }
    std::vector<Node> arrived() {
        std::vector<Node> out;
        for (const backup_test::ReadFile& f :
             backup_test::readRecordFiles(m_config.backupDirs, {deviceDir()}, false)) {
            for (size_t k = 0; k < f.nodes.size(); ++k) {
                out.push_back({f.times[k], f.nodes[k].getDataLen()});
            }
        }
        return out;
    }
    // Steps one job until no local file of the camera is listed (bounded).
    int move() {
        BackupService job(0, backup_test::makeInfo(kDevice, 1, kIP));
        int steps = 0;
        for (; steps < 1000 && !listed(m_config.recordDirs).empty(); ++steps) job.backupRecord();
        for (int k = 0; k < 3; ++k) job.backupRecord();  // the last switch and its removal
        return steps;
    }
    std::vector<std::string> quarantined() {
        std::vector<std::string> names;
        RecordQuarantine::list(*posixFileSystem(), m_tmp.sub("local"), names);
        return names;
    }

    rectest::TempDir m_tmp;
    RecorderConfig m_config;
    std::vector<RecordFileInfo> m_files;
};

// Writes an index entry named `name` into the day index of `near`, older
// than every file, listing three nodes of a file that lies outside the day
// folder (or nowhere).
void plantEntry(const RecordFileInfo& near, const std::string& name) {
    RecordIndexEntry e;
    e.fileName = name;
    e.beginTime = kBegin - 10000;
    e.endTime = kBegin - 8500;
    e.state = RecordFileInfo::kStateComplete;
    for (int i = 0; i < 3; ++i) e.nodes.emplace_back(376, 500, i * 500, i == 0);
    e.fileSize = 3 * 376;
    const std::string index = RecordIndexFile::pathOf(fsutil::dirName(near.createRecordFileName()));
    std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(index));
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendFile(*posixFileSystem(), index, e, true));
}

// Replaces a record file's data by seeded random bytes of the same length,
// none of them a sync byte where a packet starts.
void scramble(const std::string& path) {
    std::string data(fs::file_size(path), '\0');
    std::mt19937 random(7);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(random() & 0xff);
        if (i % 188 == 0 && data[i] == 0x47) data[i] = 0x46;
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

TEST_F(HostileInputTest, EachCaseMovesTheGoodNodesAndAccountsForTheRest) {
    // "victim" lies beside the roots; an entry naming it must not reach it.
    struct Case {
        const char* what;
        std::string entryName;  // a hostile index entry, or ""
        int keyFrom;            // first key-frame node of file 0
        int damaged;            // the file the damage hits (-1: none)
        enum { kNone, kScramble, kFailOpen, kFailRead, kCut, kLink, kPipe } damage;
        long long segment;       // backup file segment size
        std::set<int> arriving;  // files whose every node must arrive
        long long drops[RecordDropCounter::kReasonCount];
        size_t quarantined;
        const char* logged;  // in the log (a file's path stands for "@")
    };
    const long long kSeg = 64LL << 20;
    const std::vector<Case> cases = {
        {"entry ../../../../victim.bin",
         "../../../../victim.bin",
         0,
         -1,
         Case::kNone,
         kSeg,
         {0, 1, 2, 3},
         {0, 0, 0},
         0,
         "names no file of its own day folder"},
        {"entry ../victim.bin",
         "../victim.bin",
         0,
         -1,
         Case::kNone,
         kSeg,
         {0, 1, 2, 3},
         {0, 0, 0},
         0,
         "\"../victim.bin\""},
        {"entry in a sub-folder",
         "sub/1.ts",
         0,
         -1,
         Case::kNone,
         kSeg,
         {0, 1, 2, 3},
         {0, 0, 0},
         0,
         "\"sub/1.ts\""},
        {"entry naming the day index",
         "record.idx",
         0,
         -1,
         Case::kNone,
         kSeg,
         {0, 1, 2, 3},
         {0, 0, 0},
         0,
         "\"record.idx\""},
        {"entry naming a hidden file",
         ".x.ts",
         0,
         -1,
         Case::kNone,
         kSeg,
         {0, 1, 2, 3},
         {0, 0, 0},
         0,
         "\".x.ts\""},
        {"entry with a newline",
         "x\n.ts",
         0,
         -1,
         Case::kNone,
         kSeg,
         {0, 1, 2, 3},
         {0, 0, 0},
         0,
         "\"x\\x0a.ts\""},
        {"entry with a NUL",
         std::string("x\0.ts", 5),
         0,
         -1,
         Case::kNone,
         kSeg,
         {0, 1, 2, 3},
         {0, 0, 0},
         0,
         "\"x\\x00.ts\""},
        {"entry ..", "..", 0, -1, Case::kNone, kSeg, {0, 1, 2, 3}, {0, 0, 0}, 0, "\"..\""},
        {"random bytes under a valid index",
         "",
         0,
         1,
         Case::kScramble,
         kSeg,
         {0, 2, 3},
         {kNodes, 0, 0},
         0,
         "@: frame at"},
        {"data file fails to open",
         "",
         0,
         1,
         Case::kFailOpen,
         kSeg,
         {0, 2, 3},
         {0, 0, 0},
         1,
         "@: cannot be opened (I/O error), 3 times; moved to"},
        {"every read of the data fails",
         "",
         0,
         1,
         Case::kFailRead,
         kSeg,
         {0, 2, 3},
         {0, 0, 0},
         1,
         "@: read failed (I/O error), 3 times; moved to"},
        {"data cut short under its index",
         "",
         0,
         1,
         Case::kCut,
         kSeg,
         {0, 2, 3},
         {0, 0, 0},
         1,
         "@: data file shorter than its index, 3 times; moved to"},
        {"a link to a file outside the root",
         "",
         0,
         1,
         Case::kLink,
         kSeg,
         {0, 2, 3},
         {0, 0, 0},
         1,
         "@: not a regular file of its own, 3 times; moved to"},
        {"a pipe in place of the data file",
         "",
         0,
         1,
         Case::kPipe,
         kSeg,
         {0, 2, 3},
         {0, 0, 0},
         1,
         "@: data file shorter than its index, 3 times; moved to"},
        {"two frames before the first key frame",
         "",
         2,
         0,
         Case::kNone,
         kSeg,
         {0, 1, 2, 3},
         {0, 0, 2},
         0,
         "@: frame at 1700000000000 ms (376 bytes) dropped, it comes before"},
        {"backup segment smaller than a frame",
         "",
         0,
         0,
         Case::kNone,
         300,
         {},
         {0, kFiles * kNodes, 0},
         0,
         "@: frame at 1700000000000 ms (376 bytes) dropped, the "
         "writer answered -737"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        for (const char* d : {"local", "backup/record"}) fs::remove_all(m_tmp.sub(d));
        m_files.clear();
        SetUp();
        m_config.backupDirs[0].setFileSegmentSize(c.segment);
        RecordDiskManagerImpl::setConfiguration(m_config);
        const std::string victim = m_tmp.sub("victim.bin");
        {
            std::vector<char> v = rectest::packets(6, 99);
            FILE* f = std::fopen(victim.c_str(), "wb");
            ASSERT_NE(nullptr, f);
            std::fwrite(v.data(), 1, v.size(), f);
            std::fclose(f);
        }
        record(c.keyFrom);
        std::vector<Node> expected;
        for (int f : c.arriving) {
            for (int i = (f == 0 ? c.keyFrom : 0); i < kNodes; ++i) {
                expected.push_back({kBegin + (f * kNodes + i) * 500, 376});
            }
        }
        if (!c.entryName.empty()) plantEntry(m_files[0], c.entryName);
        const std::string damaged = c.damaged >= 0 ? m_files[c.damaged].createRecordFileName() : "";
        FailingDisk disk;
        if (c.damage == Case::kScramble) scramble(damaged);
        if (c.damage == Case::kCut) fs::resize_file(damaged, 188 * 3);
        if (c.damage == Case::kLink) {
            fs::rename(damaged, m_tmp.sub("outside.ts"));
            fs::create_symlink(m_tmp.sub("outside.ts"), damaged);
        }
        if (c.damage == Case::kPipe) {
            fs::remove(damaged);
            ASSERT_EQ(0, ::mkfifo(damaged.c_str(), 0600));
        }
        if (c.damage == Case::kFailOpen || c.damage == Case::kFailRead) {
            disk.target = "/" + m_files[c.damaged].getRecordFileName();
            disk.failOpen = c.damage == Case::kFailOpen;
            disk.failRead = c.damage == Case::kFailRead;
            RecordDiskManagerImpl::setFileSystem(&disk);
        }

        LogCapture log;
        const int steps = move();
        RecordDiskManagerImpl::setFileSystem(nullptr);

        std::vector<Node> got = arrived();
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, got);
        EXPECT_TRUE(listed(m_config.recordDirs).empty()) << steps << " steps";
        const RecordDropCounter::Counts drops = RecordDropCounter::counts(kDevice, 1);
        for (int r = 0; r < RecordDropCounter::kReasonCount; ++r) {
            EXPECT_EQ(c.drops[r], drops.byReason[r]) << RecordDropCounter::reasonText(r);
        }
        int dropLines = 0, entryLines = 0;
        for (const LogCapture::Entry& e : log.entries()) {
            dropLines += e.category == "RecordDrop";
            entryLines +=
                e.message.find("names no file of its own day folder") != std::string::npos;
        }
        EXPECT_EQ(drops.total(), dropLines) << "every dropped frame is logged";
        EXPECT_EQ(c.entryName.empty() ? 0 : 1, entryLines) << "a hostile entry is logged once";
        std::string logged = c.logged;
        if (logged[0] == '@') logged = damaged + logged.substr(1);
        EXPECT_TRUE(log.contains(logged)) << logged;

        std::vector<std::string> q = quarantined();
        ASSERT_EQ(c.quarantined, q.size());
        if (!q.empty()) {
            EXPECT_NE(std::string::npos, q[0].find("#" + deviceDir() + "#20231114#" +
                                                   m_files[c.damaged].getRecordFileName()));
        }
        if (c.damage == Case::kFailOpen || c.damage == Case::kFailRead) {
            EXPECT_EQ(RecordQuarantine::kMaxFailures, disk.failedOpens + disk.failedReads);
            EXPECT_EQ(fs::file_size(m_tmp.sub("local/record/.quarantine/" + q[0])),
                      static_cast<uintmax_t>(kNodes * 376));
        }
        if (c.damage == Case::kLink) {
            EXPECT_TRUE(fs::is_symlink(m_tmp.sub("local/record/.quarantine/" + q[0])));
            EXPECT_EQ(static_cast<uintmax_t>(kNodes * 376), fs::file_size(m_tmp.sub("outside.ts")));
        }
        EXPECT_EQ(6 * 188u, fs::file_size(victim)) << "nothing outside the roots is touched";
        std::printf("%-40s %zu of %zu nodes arrived, dropped %s, %zu quarantined, %d steps\n",
                    c.what, got.size(), expected.size(), RecordDropCounter::describe(drops).c_str(),
                    q.size(), steps);
    }
}

}  // namespace
