// Whole moves between temporary disks; nodes known by time, length, content.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "BackupRecordRetriever.h"
#include "BackupService.h"
#include "BackupServiceManager.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "LocalBackupRecordRetriever.h"
#include "LocalRecorder.h"
#include "PowerCutFileSystem.h"
#include "RecordDropCounter.h"
#include "RecordResult.h"
#include "RefCountManager.h"
#include "SyntheticCamera.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/BackupRecordWriter.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"
#include "store/RecordQuarantine.h"
#include "store/RecordRecovery.h"

namespace {
thread_local long t_allocations = 0;  // heap allocations of this thread
}  // namespace

// Counts every allocation; the replacements pair malloc with free themselves.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return ++t_allocations, std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace backup_test;
namespace fs = std::filesystem;

namespace {

const long long kBegin = 1700000000000LL;  // ms since the epoch
const char kDevice[] = "dev1";
const char kIP[] = "10.1.1.1";

// `count` TS packets, each filled with bytes derived from `seed`.
std::string packets(int count, int seed) {
    std::string data(static_cast<size_t>(count) * 188, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = i % 188 == 0 ? 0x47 : static_cast<char>(seed * 31 + i * 7);
    }
    return data;
}

struct Frame {  // as recorded, and so as it must be read back
    std::string data;
    long long timeStamp;
    int timeLen;
    bool iFrame;
};

struct RecordedFile {
    RecordFileInfo info;
    int width, encoder;
    std::vector<Frame> frames;
};

// Frame i: 1 + i % 3 packets (frame 1: `big` bytes if given), at 40 i ms,
// lasting 40 + i ms, a key frame every third.
std::vector<Frame> frames(long long begin, int count, int seed, int big = 0) {
    std::vector<Frame> out;
    for (int i = 0; i < count; ++i) {
        std::string data = packets(1 + i % 3, seed * 10 + i);
        if (i == 1 && big > 0) data = packets(big / 188 + 1, seed).substr(0, big);
        out.push_back({data, begin + 40LL * i, 40 + i, i % 3 == 0});
    }
    return out;
}

class MoveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* d : {"local", "local2", "backup"}) fs::create_directories(m_tmp.sub(d));
        std::string diskId;
        ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), m_tmp.sub("backup"), diskId));
        m_config.recordDirs = {
            makeRecordDir(m_tmp.sub("local"), RecordDirInfoEx::kAttributeLocal),
            makeRecordDir(m_tmp.sub("local2"), RecordDirInfoEx::kAttributeLocal)};
        m_config.backupDirs = {
            makeRecordDir(m_tmp.sub("backup"), RecordDirInfoEx::kAttributeBackup)};
        m_config.policies = {{kDevice, 1, 1}, {"other", 1, 2}};
        restart();
        TaliqTime::setClockSpeed(0);
        events().take();
    }
    void TearDown() override {
        RecordDiskManagerImpl::setFileSystem(nullptr);
        RecordDiskManagerImpl::setConfiguration(RecorderConfig());
        BackupRecordWriter::setCheckpointPolicy(-1, -1);
        TaliqTime::setClockSpeed(1);
    }

    // Both disks emptied, the backup segment size set, the ledgers reset.
    void restart(long long segment = 64LL << 20) {
        for (const char* d : {"local/record", "local2/record", "backup/record"}) {
            fs::remove_all(m_tmp.sub(d));
        }
        setSegment(segment);
        MoveLedger::instance().reset();
        RecordQuarantine::reset();
        RecordDropCounter::reset();
    }
    void setSegment(long long bytes) {
        m_config.backupDirs[0].setFileSegmentSize(bytes);
        RecordDiskManagerImpl::setConfiguration(m_config);
    }
    void record(double seconds, int fileSeconds, int encoder = 1, long long startDts = 900000) {
        SyntheticCamera camera(m_config.recordDirs[0], kDevice, kIP, 1);
        SyntheticStreamOptions options;
        options.audio = false;
        options.encoderType = encoder;
        options.startDts90k = startDts;
        ASSERT_GT(camera.record(options, seconds, kBegin, fileSeconds), 0);
    }
    // Records `frames` as one complete file (height: 9/16 of the width).
    RecordedFile recordFile(const RecordDirInfoEx& dir, long long begin, int width, int encoder,
                            const std::vector<Frame>& frames, int camera = 1) {
        LocalRecorder recorder(dir, kDevice, kIP, camera);
        AVStreamInfo stream;
        stream.setImageWidth(width);
        stream.setImageHeight(width * 9 / 16);
        stream.setEncoderType(encoder);
        stream.setESStreamType(1);
        EXPECT_EQ(0, recorder.startFile(begin, stream));
        for (const Frame& f : frames) {
            EXPECT_EQ(0, recorder.addNode(f.data.data(), static_cast<int>(f.data.size()),
                                          f.timeStamp, f.timeLen, f.iFrame));
        }
        EXPECT_EQ(0, recorder.finishFile());
        const RecordFileInfo info = recorder.currentFile();
        return {info, width, encoder, frames};
    }
    // The names the day indexes list for the camera.
    std::set<std::string> listedNames() {
        RetrieverFileQuery query;
        query.setRecordDirInfo(m_config.recordDirs);
        query.setDeviceList({deviceDir()});
        std::vector<RecordFileInfo> infos;
        query.listRecordFiles(infos, false);
        std::set<std::string> names;
        for (const RecordFileInfo& f : infos) names.insert(f.getRecordFileName());
        return names;
    }
    static std::string deviceDir(int camera = 1) {
        return BasicTool::getDeviceDirString(kDevice, kIP, camera);
    }
    std::vector<ReadFile> files(const std::vector<RecordDirInfoEx>& dirs) {
        return readRecordFiles(dirs, {deviceDir()});
    }
    std::vector<Node> nodes(const std::vector<RecordDirInfoEx>& dirs) {
        return nodesOf(files(dirs));
    }
    // The record files on `disks` (recycle and quarantine areas left out).
    size_t localFiles(std::initializer_list<const char*> disks = {"local", "local2"}) {
        size_t n = 0;
        for (const std::string d : disks) {
            std::error_code ec;
            for (const auto& e : fs::recursive_directory_iterator(m_tmp.sub(d + "/record"), ec)) {
                const std::string p = e.path().string();
                n += e.path().extension() == ".ts" && p.find("/.") == std::string::npos;
            }
        }
        return n;
    }
    // Steps a job per camera in turn until no local file is left, `stop` says
    // so or `most` steps are done; then the jobs end and their last files are
    // closed, the background flusher's work too.
    int move(int most = 3000, int cameras = 1, const std::function<bool()>& stop = nullptr) {
        int steps = 0;
        {
            std::vector<std::unique_ptr<BackupService>> jobs;
            for (int c = 1; c <= cameras; ++c) {
                jobs.push_back(std::make_unique<BackupService>(0, makeInfo(kDevice, c, kIP)));
            }
            for (; steps < most && localFiles() > 0 && !(stop && stop()); ++steps) {
                for (auto& job : jobs) job->backupRecord();
            }
        }
        BackupRecordWriter::waitForClosedFiles();
        return steps;
    }
    static bool waitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            // Each look walks the disks: leave the cores to the jobs between.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    TempDir m_tmp;
    RecorderConfig m_config;
};

// Power cuts at hundreds of points of a two-camera move (one camera changes
// its picture size): after each cut only what was made durable survives,
// recovery runs, the move runs to its end, and every recorded node must be on
// the backup disk, by content. Then the backup disk goes away for a while.
TEST_F(MoveTest, EveryNodeSurvivesAPowerCutOrTheBackupDiskGoneAtAnyPoint) {
    // Small backup files and checkpoints: rotations and batched removals.
    m_config.policies.push_back({kDevice, 2, 1});
    m_config.backupReserveBytes = 0;
    setSegment(200 << 10);
    BackupRecordWriter::setCheckpointPolicy(40 << 10, -1);
    std::vector<Node> expected[2];
    for (int c = 0; c < 2; ++c) {
        SyntheticCamera camera(m_config.recordDirs[c], kDevice, kIP, c + 1);
        SyntheticStreamOptions options;
        options.audio = false;
        options.changeAtSeconds = c == 1 ? 9 : -1;  // a new picture size starts a file
        ASSERT_GT(camera.record(options, 18, kBegin + c * 700, 5), 0);
        expected[c] = nodesOf(readRecordFiles({m_config.recordDirs[c]}, {deviceDir(c + 1)}));
    }
    ASSERT_GE(expected[0].size(), 30u);
    TempDir pristine;
    fs::copy(m_tmp.path(), pristine.path(), fs::copy_options::recursive);
    auto restorePristine = [&] {
        for (const char* d : {"local", "local2", "backup"}) fs::remove_all(m_tmp.sub(d));
        fs::copy(pristine.path(), m_tmp.path(), fs::copy_options::recursive);
        MoveLedger::instance().reset();
    };
    // Mends what the last run left, as at a start.
    auto recover = [] {
        RecoveryReport report;
        EXPECT_EQ(0, RecordDiskManagerImpl::recover(&report));
        EXPECT_EQ(0, report.errors);
    };
    // Every recorded node is on the backup disk.
    auto everyNodeArrived = [&] {
        for (int c = 0; c < 2; ++c) {
            const std::vector<Node> got =
                nodesOf(readRecordFiles(m_config.backupDirs, {deviceDir(c + 1)}));
            const std::multiset<Node> found(got.begin(), got.end());
            for (const Node& n : expected[c]) {
                EXPECT_GE(found.count(n), 1u) << "camera " << c + 1 << " lost the node at "
                                              << std::get<0>(n) - kBegin << " ms";
            }
        }
    };
    rectest::PowerCutFileSystem power;
    RecordDiskManagerImpl::setFileSystem(&power);

    // An uncut run tells how many file-system calls the move makes.
    ASSERT_EQ(0, power.arm(m_tmp.path()));
    move(4000, 2);
    ASSERT_EQ(0u, localFiles());
    const int calls = power.opCount();
    ASSERT_EQ(0, power.cut());
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int points = 60;  // the sanitizer builds check the same code more slowly
#else
    const int points = 240;
#endif
    std::set<int> cuts;
    for (int i = 0; i < points; ++i) cuts.insert(1 + static_cast<int>(1LL * i * calls / points));
    for (int cut : cuts) {
        SCOPED_TRACE("cut before file-system call " + std::to_string(cut) + " of " +
                     std::to_string(calls));
        restorePristine();
        ASSERT_EQ(0, power.arm(m_tmp.path()));
        power.crashAfter(cut);
        move(4000, 2, [&power] { return power.crashed(); });
        ASSERT_EQ(0, power.cut());
        // What the process had noted is gone with the power.
        MoveLedger::instance().reset();
        RecordQuarantine::reset();
        recover();
        move(4000, 2);
        ASSERT_EQ(0u, localFiles());
        everyNodeArrived();
        if (HasFailure()) break;
    }

    // The backup disk goes away mid-file (renamed, or an empty folder in its
    // place; checkpoints at every frame or not) or before the first file: no
    // source leaves meanwhile; then every node arrives, the open file mended.
    RecordDiskManagerImpl::setFileSystem(nullptr);
    const std::string root = m_config.backupDirs[0].getRecordRootDir(), away = root + ".away";
    for (int row = 0; row < 5; ++row) {
        SCOPED_TRACE("backup disk gone, row " + std::to_string(row));
        const bool emptyFolder = row % 2 == 1;
        restorePristine();
        BackupRecordWriter::setCheckpointPolicy(row < 2 ? 0 : -1, row < 2 ? 0 : -1);
        {
            BackupService a(0, makeInfo(kDevice, 1, kIP)), b(0, makeInfo(kDevice, 2, kIP));
            for (int i = 0; i < (row == 4 ? 0 : 25); ++i) a.backupRecord(), b.backupRecord();
            const size_t before = localFiles();
            fs::rename(root, away);
            if (emptyFolder) fs::create_directories(root);
            for (int i = 0; i < 200; ++i) a.backupRecord(), b.backupRecord();
            EXPECT_EQ(before, localFiles()) << "a source left while the disk was gone";
            if (emptyFolder) fs::remove(root);
            fs::rename(away, root);
            for (int i = 0; i < 4000 && localFiles() > 0; ++i) a.backupRecord(), b.backupRecord();
        }
        BackupRecordWriter::waitForClosedFiles();
        EXPECT_EQ(0u, localFiles());
        recover();
        for (const ReadFile& f : files(m_config.backupDirs)) {
            EXPECT_EQ(RecordFileInfo::kStateComplete, f.info.getState());
        }
        everyNodeArrived();
    }
}

// On the infinitely fast clock a job with nothing to move sleeps (a few idle
// waits in 200 ms; spinning makes thousands). A camera removed and added
// again before the (held) stop thread reached its old job: the two jobs never
// read one file together, every node arrives once. A removal then unInit:
// unInit stops the job and completes its file.
TEST_F(MoveTest, RemovedJobNeverMovesBesideTheCamerasNextJobAndStopsAtUnInit) {
    const RecordInfo info = makeInfo(kDevice, 1, kIP);
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    {
        WaitRecorder waits;
        manager->init();
        ASSERT_EQ(0, manager->addService(0, info));
        EXPECT_LE(idleWaits("wait 1000"), 20);
        manager->unInit();
    }
    for (bool addAgain : {true, false}) {
        SCOPED_TRACE(addAgain ? "removed and added again" : "removed, then unInit");
        restart();
        record(40, 8);
        std::vector<Node> expected = nodes(m_config.recordDirs);
        const size_t before = localFiles();
        ASSERT_GE(before, 4u);
        TaliqTime::setClockSpeed(100);
        manager->init();
        manager->getStopThread().stop();
        ASSERT_EQ(0, manager->addService(0, info));
        SafePointer<BackupService> removed;
        ASSERT_TRUE(manager->findService(info, removed));
        ASSERT_TRUE(waitUntil([&] { return localFiles() < before; }));
        ASSERT_EQ(0, manager->removeService(info));
        if (addAgain) {
            ASSERT_EQ(0, manager->addService(0, info));
            ASSERT_TRUE(waitUntil([&] { return localFiles() == 0; }));
        }
        manager->unInit();
        TaliqTime::setClockSpeed(0);
        EXPECT_EQ(0, removed->isRunning());

        // No backup file left "being recorded" (never listed), none twice.
        EXPECT_EQ(localFiles({"backup"}), files(m_config.backupDirs).size());
        std::vector<Node> arrived = nodes(m_config.backupDirs);
        std::sort(arrived.begin(), arrived.end());
        EXPECT_EQ(arrived.end(), std::adjacent_find(arrived.begin(), arrived.end()))
            << "a node arrived twice";
        if (!addAgain) {  // what did not arrive is still on the local disk
            for (const Node& n : nodes(m_config.recordDirs)) arrived.push_back(n);
            std::sort(arrived.begin(), arrived.end());
            arrived.erase(std::unique(arrived.begin(), arrived.end()), arrived.end());
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, arrived);
    }
}

// Every backup file of a move holds every node, starts at a key frame after
// a PAT, decodes without a complaint, and (ffprobe) has its own time line
// from 10 s on, one frame a frame, whatever the source's (one wraps at 2^33).
// (Real encoders' streams through the packager: ts_test.)
TEST_F(MoveTest, EveryBackupFileStartsPlayable) {
    if (!rectest::haveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
    struct Row {
        const char* name;
        int encoderType;
        long long startDts;
    } rows[] = {{"H.264 640x360", 1, 900000},
                {"H.264 wrapping at 2^33", 1, (1LL << 33) - 90000},
                {"H.265 640x360", 2, 900000}};
    const long long segment = 300000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        restart(segment);
        record(20, 8, row.encoderType, row.startDts);
        const std::vector<Node> expected = nodes(m_config.recordDirs);
        move(5000);
        EXPECT_EQ(expected, nodes(m_config.backupDirs));
        const std::vector<ReadFile> backups = files(m_config.backupDirs);
        EXPECT_GE(backups.size(), 3u);
        for (const ReadFile& f : backups) {
            const std::string path = f.info.createRecordFileName();
            EXPECT_TRUE(f.keyFirst) << path;
            bool pat = false;  // a PAT before the first video packet
            for (size_t at = 0; at + 188 <= f.data.size() && (f.data[at + 1] & 0x1F) != 1;
                 at += 188) {
                pat = pat || (f.data[at + 1] == 0x40 && f.data[at + 2] == 0);
            }
            EXPECT_TRUE(pat) << path;
            EXPECT_LE(static_cast<long long>(f.data.size()), segment) << path;
            EXPECT_EQ("", rectest::decodeWarnings(path)) << path;
            std::istringstream probed(
                rectest::run("ffprobe -v quiet -select_streams v -show_entries "
                             "packet=dts -of csv=p=0 '" +
                             path + "'"));
            long long dts = 0, previous = -1;
            ASSERT_TRUE(probed >> previous) << path;
            EXPECT_EQ(10 * 90000, previous) << path;
            for (; probed >> dts; previous = dts) ASSERT_EQ(3600, dts - previous) << path;
        }
    }
}

// Hostile index entries and damaged files: which files' nodes arrive, what
// is dropped (logged, counted by reason) or quarantined; nothing outside the
// roots is touched.
TEST_F(MoveTest, HostileInputMovesTheGoodNodesAndAccountsForTheRest) {
    const int kFiles = 4, kNodes = 5;  // nodes of 500 ms, two packets each
    enum Damage { kNone, kZeroes, kFailOpen, kFailRead, kCut, kLink, kPipe };
    struct Row {
        std::string entryName;  // a hostile index entry, or ""
        int keyFrom;            // first key-frame node of file 0
        Damage damage;          // to file 1, or to file 0 with keyFrom or a segment
        long long segment;      // backup file segment size
        unsigned arriving;      // bit f: every node of file f must arrive
        long long drops[RecordDropCounter::kReasonCount];
        size_t quarantined;
        std::string logged;  // in the log (the damaged file's path stands for "@")
    };
    const long long kSeg = 64LL << 20;
    std::vector<Row> rows;
    // clang-format off
    // Hostile entries, logged by their printable names: every file arrives.
    const std::pair<std::string, const char*> entries[] = {
        {"../../../../victim.bin", "\"../../../../victim.bin\""}, {"../victim.bin", "\"../victim.bin\""},
        {"sub/1.ts", "\"sub/1.ts\""}, {"record.idx", "\"record.idx\""}, {".x.ts", "\".x.ts\""}, {"..", "\"..\""},
        {"x\n.ts", "\"x\\x0a.ts\""}, {std::string("x\0.ts", 5), "\"x\\x00.ts\""}};
    for (const auto& e : entries) rows.push_back({e.first, 0, kNone, kSeg, 15, {0, 0, 0}, 0, e.second});
    // File 1 unreadable: quarantined whole after three tries, the others arrive.
    const std::pair<Damage, const char*> unreadable[] = {
        {kFailOpen, "cannot be opened (I/O error)"}, {kFailRead, "read failed (I/O error)"},
        {kCut, "data file shorter than its index"}, {kLink, "not a regular file of its own"},
        {kPipe, "data file shorter than its index"}};
    for (const auto& u : unreadable) rows.push_back({"", 0, u.first, kSeg, 13, {0, 0, 0}, 1, std::string("@: ") + u.second + ", 3 times; moved to"});
    rows.push_back({"", 0, kZeroes, kSeg, 13, {kNodes, 0, 0}, 0, "@: frame at"});
    rows.push_back({"", 2, kNone, kSeg, 15, {0, 0, 2}, 0, "@: frame at 1700000000000 ms (376 bytes) dropped, it comes before"});
    rows.push_back({"", 0, kNone, 300, 0, {0, kFiles * kNodes, 0}, 0, "@: frame at 1700000000000 ms (376 bytes) dropped, the writer answered -737"});
    // clang-format on
    const std::string victim = m_tmp.sub("victim.bin");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.logged + " " + std::to_string(row.damage));
        restart(row.segment);
        { std::ofstream(victim, std::ios::binary) << packets(6, 99); }
        std::vector<RecordFileInfo> recorded;
        std::vector<Node> expected;
        for (int f = 0; f < kFiles; ++f) {
            const long long begin = kBegin + f * kNodes * 500;
            std::vector<Frame> nodes;
            for (int i = 0; i < kNodes; ++i) {
                nodes.push_back({packets(2, f * 100 + i), begin + i * 500, 500,
                                 i == (f == 0 ? row.keyFrom : 0)});
                if ((row.arriving >> f & 1) && (f > 0 || i >= row.keyFrom)) {
                    expected.emplace_back(begin + i * 500, 376,
                                          contentDigest(nodes[i].data.data(), 376));
                }
            }
            recorded.push_back(recordFile(m_config.recordDirs[0], begin, 640, 1, nodes).info);
        }
        if (!row.entryName.empty()) {
            // Older than every file, three nodes.
            RecordIndexEntry e;
            e.fileName = row.entryName;
            e.beginTime = kBegin - 10000;
            e.endTime = kBegin - 8500;
            e.state = RecordFileInfo::kStateComplete;
            for (int i = 0; i < 3; ++i) e.nodes.emplace_back(376, 500, i * 500, i == 0);
            e.fileSize = 3 * 376;
            const std::string index =
                RecordIndexFile::pathOf(fsutil::dirName(recorded[0].createRecordFileName()));
            std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(index));
            ASSERT_EQ(kRecordOk, RecordIndexFile::appendFile(*posixFileSystem(), index, e, true));
        }
        const int hit = row.damage == kNone ? 0 : 1;
        const std::string damaged = recorded[hit].createRecordFileName();
        // A file without read permission or a failing disk (root reads all).
        HookFileSystem disk([&](const std::string& call, const std::string& path, int mode) {
            const bool on = fs::path(path).filename() == recorded[hit].getRecordFileName();
            const bool fail =
                on && ((call == "open" && mode == FileSystem::kRead && row.damage == kFailOpen) ||
                       (call == "read" && row.damage == kFailRead));
            return fail ? kRecordIOError : 0;
        });
        if (row.damage == kZeroes) std::ofstream(damaged) << std::string(kNodes * 376, '\0');
        if (row.damage == kCut) fs::resize_file(damaged, 188 * 3);
        if (row.damage == kLink) {
            fs::rename(damaged, m_tmp.sub("outside.ts"));
            fs::create_symlink(m_tmp.sub("outside.ts"), damaged);
        }
        if (row.damage == kPipe) {
            fs::remove(damaged);
            ASSERT_EQ(0, ::mkfifo(damaged.c_str(), 0600));
        }
        RecordDiskManagerImpl::setFileSystem(&disk);

        LogCapture log;
        move(1000);
        RecordDiskManagerImpl::setFileSystem(nullptr);
        std::vector<Node> got = nodes(m_config.backupDirs);
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, got);
        EXPECT_EQ(0u, localFiles());
        const RecordDropCounter::Counts drops = RecordDropCounter::counts(kDevice, 1);
        for (int r = 0; r < RecordDropCounter::kReasonCount; ++r) {
            EXPECT_EQ(row.drops[r], drops.byReason[r]) << RecordDropCounter::reasonText(r);
        }
        int dropLines = 0;
        for (const std::string& e : log.peek()) {
            dropLines += e.rfind("RecordDrop|", 0) == 0;
        }
        EXPECT_EQ(drops.total(), dropLines) << "every dropped frame is logged";
        const std::string logged =
            row.logged[0] == '@' ? damaged + row.logged.substr(1) : row.logged;
        EXPECT_TRUE(log.contains(logged)) << logged;

        std::vector<std::string> q;
        RecordQuarantine::list(*posixFileSystem(), m_tmp.sub("local"), q);
        ASSERT_EQ(row.quarantined, q.size());
        if (row.damage == kFailOpen || row.damage == kFailRead || row.damage == kLink) {
            EXPECT_NE(std::string::npos, q[0].find("#" + deviceDir() + "#20231114#" +
                                                   recorded[hit].getRecordFileName()));
            EXPECT_EQ(static_cast<uintmax_t>(kNodes * 376),
                      fs::file_size(m_tmp.sub("local/record/.quarantine/" + q[0])))
                << "a file that could not be read is kept whole";
        }
        EXPECT_EQ(6 * 188u, fs::file_size(victim)) << "nothing outside the roots is touched";
    }
}

// The local source over two directories and two days: frames as recorded, in
// time order; a file leaves disk (to its recycle area) and index only when
// the next is taken. Other groups, the backup disk, other cameras: unread.
TEST_F(MoveTest, RetrieverReadsARangeInOrderAndMovesEachFileOff) {
    const long live = RefCountManager::getInstance()->liveCount();
    RecordDirInfoEx wrongGroup =
        makeRecordDir(m_tmp.sub("group3"), RecordDirInfoEx::kAttributeLocal, 3);
    fs::create_directories(m_tmp.sub("group3"));
    m_config.recordDirs.push_back(wrongGroup);
    RecordDiskManagerImpl::setConfiguration(m_config);
    const long long early = kBegin - 86400000;
    const std::vector<RecordedFile> untouched = {
        recordFile(wrongGroup, early, 320, 1, frames(early, 3, 90)),
        recordFile(m_config.backupDirs[0], early, 320, 1, frames(early, 3, 91)),
        recordFile(m_config.recordDirs[0], early, 320, 1, frames(early, 3, 92), 2)};
    const long long day1 = kBegin + 100 * 60000, day2 = day1 + 10 * 60000;  // 23:53, 00:03
    // Recorded out of time order; a node 40 ms before its file's begin.
    const RecordDirInfoEx &a = m_config.recordDirs[0], &b = m_config.recordDirs[1];
    std::vector<RecordedFile> files(4);
    files[2] = recordFile(a, day2, 704, 1, frames(day2, 4, 3));
    files[0] = recordFile(a, day1, 1920, 1, frames(day1 - 40, 5, 1));
    files[3] = recordFile(b, day2 + 60000, 640, 2, frames(day2 + 60000, 3, 4, 1500 * 1024));
    files[1] = recordFile(b, day1 + 60000, 1280, 2, frames(day1 + 60000, 4, 2));
    int largestRead = 0;  // of a record file, in one call
    HookFileSystem reads([&](const std::string& call, const std::string& path, int count) {
        if (call == "read" && fs::path(path).extension() == ".ts")
            largestRead = std::max(largestRead, count);
        return 0;
    });
    RecordDiskManagerImpl::setFileSystem(&reads);
    {
        BackupRecordRetriever retriever(true);
        ASSERT_EQ(0, retriever.open(makeInfo(kDevice, 1, kIP)));
        TSAVData frame;
        for (size_t f = 0; f < files.size(); ++f) {
            SCOPED_TRACE("file " + std::to_string(f));
            for (const Frame& e : files[f].frames) {  // every frame as recorded
                ASSERT_EQ(0, retriever.read(&frame));
                EXPECT_EQ(e.data, std::string(frame.getData(), frame.getDataLength()));
                EXPECT_EQ((std::vector<long long>{e.timeStamp, e.timeLen, e.iFrame ? 1 : 2,
                                                  files[f].width, files[f].width * 9 / 16,
                                                  files[f].encoder}),
                          (std::vector<long long>{frame.getTimeStamp(), frame.getDataTimeLength(),
                                                  frame.getFrameType(), frame.getImageWidth(),
                                                  frame.getImageHeight(), frame.getEncoderType()}));
            }
            const std::set<std::string> names = listedNames();
            for (size_t g = 0; g < files.size(); ++g) {
                EXPECT_EQ(g >= f, fs::exists(files[g].info.createRecordFileName())) << g;
                EXPECT_EQ(g >= f, names.count(files[g].info.getRecordFileName()) == 1) << g;
            }
        }
        // The largest frame came in pieces of at most 1 MiB, into an exact buffer.
        EXPECT_EQ(1 << 20, largestRead);
        EXPECT_EQ(1500 * 1024, retriever.getBufferSize());
        EXPECT_EQ(-728, retriever.read(&frame));
        EXPECT_EQ(1u, listedNames().size());  // camera 2's
        std::vector<std::string> recycled;
        EXPECT_EQ(0, posixFileSystem()->list(b.getRecordRootDir() + "/record/.recycle", recycled));
        EXPECT_EQ(2u, recycled.size());
    }
    RecordDiskManagerImpl::setFileSystem(nullptr);
    for (const RecordedFile& file : untouched)
        EXPECT_TRUE(fs::exists(file.info.createRecordFileName()));
    EXPECT_EQ(live, RefCountManager::getInstance()->liveCount());
}

TEST_F(MoveTest, RetrieverOpenAnswersItsCodesInTheirOrder) {
    LocalBackupRecordRetriever retriever;
    const RecordInfo request = makeInfo(kDevice, 1, kIP);
    EXPECT_EQ(-734, retriever.open(makeInfo("", 1, "1:2")));
    EXPECT_STREQ("1-2", retriever.getRecordInfo().getDeviceIP());  // kept, rewritten
    EXPECT_EQ(-734, retriever.open(makeInfo(kDevice, 0, kIP)));
    EXPECT_EQ(-708, retriever.open(makeInfo("unknown", 1)));     // no policy for the device
    EXPECT_EQ(-708, retriever.open(makeInfo("other", 1, kIP)));  // its group has no directory
    // No device folder but on a raw removable disk, which is never searched.
    m_config.recordDirs[1].setDiskType(2);
    m_config.recordDirs[1].setFileSystemFormat(0);
    RecordDiskManagerImpl::setConfiguration(m_config);
    recordFile(m_config.recordDirs[1], kBegin, 704, 1, frames(kBegin, 2, 20));
    EXPECT_EQ(-735, retriever.open(request));
    fs::remove_all(m_tmp.sub("local2/record"));
    // A device folder whose only file is still being recorded.
    LocalRecorder recorder(m_config.recordDirs[0], kDevice, kIP, 1);
    ASSERT_EQ(0, recorder.startFile(kBegin, AVStreamInfo()));
    ASSERT_EQ(0, recorder.addNode(packets(1, 0).data(), 188, kBegin, 40, true));
    EXPECT_EQ(-728, retriever.open(request));
    ASSERT_EQ(0, recorder.finishFile());
    EXPECT_EQ(0, retriever.open(request));
    EXPECT_EQ(0, retriever.close());
    // A file cut short under its index fails to open: never read, never deleted.
    const RecordedFile cut =
        recordFile(m_config.recordDirs[0], kBegin + 600000, 704, 1, frames(kBegin + 600000, 2, 3));
    fs::resize_file(cut.info.createRecordFileName(), 188);
    SafePointer<RecordFileInfo> info(new RecordFileInfo(cut.info));
    TSAVData frame;
    EXPECT_EQ(-705, retriever.openFile(info));
    EXPECT_EQ(-705, retriever.getTSInfo(&frame));
    EXPECT_TRUE(fs::exists(cut.info.createRecordFileName()));
}

// Recycle bin first, else the disk manager; the index entry goes only with
// its file (two of the three stay listed in every row).
TEST_F(MoveTest, RetrieverDeleteDropsTheEntryOnlyWithTheFile) {
    struct Row {
        bool failRecycle, failUnlink, failIndex, fileGone;
    } rows[] = {{true, false, false, true},    // the disk manager removes it
                {true, true, false, false},    // nobody can: the index is not touched
                {false, false, true, true},    // removed, but the index cannot be opened
                {false, false, false, true}};  // a file gone already changes nothing
    std::vector<RecordedFile> recorded;
    for (int i = 0; i < 3; ++i) {
        const long long begin = kBegin + i * 60000;
        recorded.push_back(recordFile(m_config.recordDirs[0], begin, 704, 1, frames(begin, 2, i)));
    }
    const Row* row = rows;
    HookFileSystem failing([&](const std::string& call, const std::string& path, int) {
        const bool fail =
            (call == "rename" && row->failRecycle &&
             path.find("/.recycle/") != std::string::npos) ||
            (call == "unlink" && row->failUnlink) ||
            (call == "open" && row->failIndex && fs::path(path).filename() == "record.idx");
        return fail ? -707 : 0;
    });
    RecordDiskManagerImpl::setFileSystem(&failing);
    LocalBackupRecordRetriever retriever;
    for (int i = 0; i < 4; ++i, ++row) {
        SCOPED_TRACE(i);
        retriever.deleteFile(recorded[i % 3].info);
        EXPECT_EQ(row->fileGone, !fs::exists(recorded[i % 3].info.createRecordFileName()));
        EXPECT_EQ(2u, listedNames().size());
    }
    RecordDiskManagerImpl::setFileSystem(nullptr);
}

// Heap allocations: none for a node (but where a frame is the largest yet);
// a few for a switch of files, no more late in a day than early.
TEST_F(MoveTest, NodesAllocateNothingAndSwitchesDoNotGrowWithTheFilesOfTheDay) {
    record(40 * 4, 4);
    long growths = 0;
    int largest = 0;
    for (const Node& n : nodesOf(files(m_config.recordDirs))) {
        growths += std::get<1>(n) > largest;
        largest = std::max(largest, std::get<1>(n));
    }
    BackupRecordWriter::setCheckpointPolicy(1LL << 40, 1LL << 40);  // sources wait for the close
    std::vector<long> switches;
    long nodeSteps = 0, nodeAllocations = 0;
    {
        BackupService job(0, makeInfo(kDevice, 1, kIP));
        for (int i = 0; i < 5; ++i) job.backupRecord();  // both ends open, first frames moved
        for (int step = 0; step < 5000 && switches.size() < 39; ++step) {
            const MoveLedger::Counters c = MoveLedger::instance().counters();
            const long before = t_allocations;
            ASSERT_EQ(0, job.backupRecord());
            const long n = t_allocations - before;
            const MoveLedger::Counters after = MoveLedger::instance().counters();
            if (after.removedNow + after.deferred != c.removedNow + c.deferred) {
                switches.push_back(n);
            } else {
                ++nodeSteps;
                nodeAllocations += n;
            }
        }
    }
    BackupRecordWriter::waitForClosedFiles();
    EXPECT_GT(nodeSteps, 300);
    EXPECT_LE(nodeAllocations, 2 * growths) << "over " << nodeSteps << " nodes moved in files";
    ASSERT_EQ(39u, switches.size());
    const long first = *std::max_element(switches.begin(), switches.begin() + 10);
    EXPECT_LE(first, 120);
    EXPECT_LE(*std::max_element(switches.end() - 10, switches.end()), first)
        << "switches allocate more as the day's files are moved";
}

}  // namespace
