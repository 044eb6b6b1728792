// The backup record storage: which frames start, rotate and retry files, and
// which request type each creation carries, against the scripted destination;
// the time-stamp arithmetic; and real streams written into a temporary backup
// disk and read back (ffprobe judges the time lines).
#include <memory>
#include <sstream>

#include "BackupRecordStorage.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "Singlton.h"
#include "TsStream.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"

using namespace backup_test;

namespace {

void putTimeStamp(unsigned char* p, int prefix, long long ts) {
    p[0] = static_cast<unsigned char>((prefix << 4) | ((ts >> 29) & 0x0E) | 1);
    p[1] = static_cast<unsigned char>(ts >> 22);
    p[2] = static_cast<unsigned char>(((ts >> 14) & 0xFE) | 1);
    p[3] = static_cast<unsigned char>(ts >> 7);
    p[4] = static_cast<unsigned char>(((ts << 1) & 0xFE) | 1);
}

// `packets` packets on PID 0x100; packet i opens a video PES with DTS dts[i]
// (and PTS 3000 ticks later) while i < dts.size().
std::string makeTsFrame(int packets, const std::vector<long long>& dts) {
    std::string data(packets * 188, '\xFF');
    for (int i = 0; i < packets; ++i) {
        unsigned char* p = reinterpret_cast<unsigned char*>(&data[i * 188]);
        const bool start = i < static_cast<int>(dts.size());
        p[0] = 0x47;
        p[1] = (start ? 0x40 : 0x00) | 0x01;
        p[2] = 0x00;
        p[3] = static_cast<unsigned char>(0x10 | (i & 0x0F));
        if (!start) continue;
        const unsigned char head[] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0xC0, 10};
        std::copy(head, head + sizeof(head), p + 4);
        putTimeStamp(p + 13, 3, dts[i] + 3000);
        putTimeStamp(p + 18, 1, dts[i]);
    }
    return data;
}

// The DTS of the first packet of a frame made by makeTsFrame.
long long firstDts(const TSAVData& frame) {
    const unsigned char* t = reinterpret_cast<const unsigned char*>(frame.getData()) + 18;
    return (static_cast<long long>(t[0] & 0x0E) << 29) | (t[1] << 22) | ((t[2] & 0xFE) << 14) |
           (t[3] << 7) | (t[4] >> 1);
}

struct F {  // a frame of a row: its type (1 I, 2 P) and format
    int type, width = 1920, es = 1, encoder = 1, height = 1080;
};

struct StorageRow {
    const char* name;
    std::vector<F> frames;  // time stamps 1, 2, ...
    std::deque<int> creates, opens;
    std::map<long long, std::deque<int>> writes;
    std::map<long long, int> refusals;
    const char* events;  // "=> <code>" where a write answered a code; "end" the storage's end
    const char* logged = "";
};

TEST(StorageTest, FilesStartRotateAndRetryWithTheirRequestTypes) {
    const F I{1}, P{2};
    // clang-format off
    const StorageRow rows[] = {
        {"files start at the first I-frame of stream type 1 and rotate on every format change",
         {P, {1, 1920, 2}, I, P, {2, 1280}, {2, 640, 2}, {2, 640}, {2, 640, 1, 2}, {2, 640, 1, 2, 480}},
         {}, {}, {}, {},
         "create 1; open; write 3; write 4; close; create 1; open; write 5; close; create 0; open; "
         "write 7; close; create 0; open; write 8; close; create 0; open; write 9; end; close"},
        {"failed creations and opens keep the request type and the storage open",
         {I, I, P, I, {2, 1280}, {2, 640}, {2, 320}}, {-708, 0, 0, 0, -713, 0}, {-705, 0, -705, 0},
         {}, {},
         "create 1 -> -708; => -708; create 1; open -> -705; => -705; create 1; open; write 4; "
         "close; create 1; open -> -705; => -705; create 3 -> -713; => -713; create 3; open; "
         "write 7; end; close"},
        {"a failed write is written again once, in a file with the failure's request type",
         {I, P, P, P, P, P, P, P}, {}, {},
         {{1, {-737}}, {3, {-707}}, {4, {-737}}, {7, {-707, -707}}}, {{5, 2}},
         "create 1; open; write 1 -> -737; write 2; write 3 -> -707; close; create 6; open; "
         "write 3; write 4 -> -737; close; create 5; open; write 4; close; create 2; open; close; "
         "=> -703; create 0; open; write 6; write 7 -> -707; close; create 6; open; "
         "write 7 -> -707; close; => -707; create 0; open; write 8; end; close"},
        {"errors thrown below are logged, answered -739 and close the file",
         {I, I, P}, {kNoWriter, 0, 0}, {}, {{2, {kThrow}}, {3, {kThrow}}}, {},
         "create 1; => -739; create 1; open; write 2 -> throw; close; => -739; create 0; open; "
         "write 3 -> throw; close; => -739; end",
         "RecordIOError|SafePointer Report:13IRecordWriter Use NULL pointer ->"},
    };
    // clang-format on
    for (const StorageRow& row : rows) {
        SCOPED_TRACE(row.name);
        FakeDestination dest;
        dest.creates = row.creates;
        dest.opens = row.opens;
        dest.writes = row.writes;
        dest.refusals = row.refusals;
        LogCapture log;
        takeEvents();
        auto storage = std::make_unique<BackupRecordStorage>();
        TSAVData frame;
        frame.setData("\x47", 1);
        EXPECT_EQ(-703, storage->write(0, &frame));  // not open yet
        ASSERT_EQ(0, storage->open(makeInfo("dev1", 3, "10:0:0:7")));
        long long t = 0;
        for (const F& f : row.frames) {
            const std::string data = makeTsFrame(3, {6000 + ++t * 3600});
            frame.setData(data.data(), static_cast<unsigned int>(data.size()));
            frame.setTimeStamp(t);
            frame.setFrameType(f.type);
            frame.setImageWidth(f.width);
            frame.setImageHeight(f.height);
            frame.setEncoderType(f.encoder);
            frame.setESStreamType(f.es);
            const int r = storage->write(0, &frame);
            if (r != 0) logEvent("=> " + std::to_string(r));
        }
        EXPECT_TRUE(storage->isOpened());
        logEvent("end");
        storage.reset();
        EXPECT_EQ(row.events, takeJoined());
        EXPECT_EQ(0, dest.live) << "writers or directories never released";
        EXPECT_TRUE(log.contains(row.logged)) << row.logged;
    }
}

// A frame of three PES d ticks apart spans 3d ticks (two steps and one more
// frame). 100 us is base 9 and the answer 18 ticks is 200 us; 11 us is base 0
// and 3 ticks, rounded up to 9, come back as 100 us.
TEST(StorageTest, TimeStampsFollowTheConversionsAndWrap) {
    struct Case {
        long long us, step, firstDts, next;
    } cases[] = {
        {100, 3, 9, 200},
        {11, 1, 0, 100},
        {-100, 3, (1LL << 33) - 9, 0},  // base -9 wraps; the answer is 0 again
        // ticks x 100 passes 2^63: taken modulo 2^64, then divided signed.
        {1024819115206086200LL, 3, 92233720368547758LL & ((1LL << 33) - 1), -1024819115206086101LL},
    };
    BackupRecordStorage storage;
    TSAVData frame;
    for (const Case& c : cases) {
        const std::string data = makeTsFrame(4, {70000, 70000 + c.step, 70000 + 2 * c.step});
        frame.setData(data.data(), static_cast<unsigned int>(data.size()));
        EXPECT_EQ(c.next, storage.updata(&frame, c.us)) << c.us;
        EXPECT_EQ(c.firstDts, firstDts(frame)) << c.us;
    }
    // Frames of 3 ticks back to back: each starts where the previous one ended
    // or later, never inside it, although the answer passes through us.
    long long us = 11, previousEnd = 0;
    for (int i = 0; i < 3; ++i) {
        const std::string data = makeTsFrame(4, {70000, 70001, 70002});
        frame.setData(data.data(), static_cast<unsigned int>(data.size()));
        us = storage.updata(&frame, us);
        EXPECT_GE(firstDts(frame), previousEnd) << i;
        previousEnd = firstDts(frame) + 3;
    }
}

// The video DTS of a file, as ffprobe reads them.
std::vector<long long> probedDts(const std::string& path) {
    std::istringstream out(
        shell("ffprobe -v quiet -select_streams v -show_entries packet=dts "
              "-of csv=p=0 '" +
              path + "'"));
    std::vector<long long> dts;
    for (long long v; out >> v;) dts.push_back(v);
    return dts;
}

SyntheticStreamOptions streamOptions(int encoder, int width, int height, long long dts) {
    SyntheticStreamOptions o;
    o.encoderType = encoder;
    o.width = width;
    o.height = height;
    o.startDts90k = dts;
    return o;
}

// Real streams: joined mid-GOP, three format changes (one stream wraps at
// 2^33, one resumes mid-GOP), then the storage reopened mid-GOP. Each file
// holds every node of its format from where it starts, in order; the time
// line starts at the writer's start (10 s) and runs one frame (3600 ticks)
// per video PES, whatever the source's time stamps were.
TEST(StorageTest, RealStreamsRoundTripWithRebasedTimeLines) {
    TempDir tmp;
    std::filesystem::create_directories(tmp.sub("backup"));
    std::string diskId;
    ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), tmp.sub("backup"), diskId));
    RecorderConfig config;
    config.backupDirs = {
        makeRecordDir(tmp.sub("backup"), RecordDirInfoEx::kAttributeBackup, 0, 256LL << 20)};
    config.backupReserveBytes = 0;
    destroyAllSingltonInstances();
    RecordDiskManagerImpl::setConfiguration(config);
    const RecordInfo info = makeInfo("cam-17", 2, "fe80::1");
    SyntheticStream wide(streamOptions(1, 640, 360, 5000000));
    SyntheticStream small(streamOptions(1, 320, 180, 8589934000LL));
    SyntheticStream hevc(streamOptions(2, 640, 360, 123456));
    struct Segment {
        SyntheticStream* stream;
        int count;
        bool reopen, waitsForKey;  // the nodes before a key frame are dropped
        int encoder, width, height;
    } segments[] = {{&wide, 16, false, true, 1, 640, 360},
                    {&small, 7, false, false, 1, 320, 180},
                    {&hevc, 6, false, false, 2, 640, 360},
                    {&wide, 5, false, false, 1, 640, 360},
                    {&wide, 8, true, true, 1, 640, 360}};
    BackupRecordStorage storage;
    ASSERT_EQ(0, storage.open(info));
    TsNode node;
    ASSERT_TRUE(wide.nextNode(node));  // joined after the key frame
    long long clockMs = 1767225600000LL;
    std::vector<std::vector<TsNode>> kept;
    std::vector<long long> begins;
    TSAVData frame;
    for (const Segment& s : segments) {
        if (s.reopen) {
            storage.close();
            ASSERT_EQ(0, storage.open(info));
        }
        kept.emplace_back();
        for (int i = 0; i < s.count; ++i) {
            ASSERT_TRUE(s.stream->nextNode(node));
            if (kept.back().empty() && (node.iFrame || !s.waitsForKey)) begins.push_back(clockMs);
            if (!kept.back().empty() || node.iFrame || !s.waitsForKey) kept.back().push_back(node);
            frame.setData(reinterpret_cast<const char*>(node.data.data()),
                          static_cast<unsigned int>(node.data.size()));
            frame.setTimeStamp(clockMs);
            frame.setDataTimeLength(node.timeLenMs);
            frame.setFrameType(node.iFrame ? 1 : 2);
            frame.setESStreamType(1);
            frame.setImageWidth(node.width);
            frame.setImageHeight(node.height);
            frame.setEncoderType(node.encoderType);
            clockMs += node.timeLenMs;
            ASSERT_EQ(0, storage.write(0, &frame));
        }
        ASSERT_EQ(s.waitsForKey, kept.back().size() < static_cast<size_t>(s.count));
    }
    storage.close();

    const std::vector<ReadFile> files = readRecordFiles(
        config.backupDirs, {BasicTool::getDeviceDirString("cam-17", "fe80::1", 2)}, true);
    ASSERT_EQ(5u, files.size());
    EXPECT_EQ("fe80--1", files[0].info.getDeviceIP());
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        const ReadFile& f = files[i];
        EXPECT_EQ(segments[i].encoder, f.encoder);
        EXPECT_EQ(segments[i].width, f.width);
        EXPECT_EQ(segments[i].height, f.height);
        EXPECT_EQ(begins[i], f.info.getRecordBeginTime());
        ASSERT_EQ(kept[i].size(), f.nodes.size());
        size_t at = 0;
        for (size_t k = 0; k < kept[i].size(); ++k) {
            const int len = static_cast<int>(kept[i][k].data.size());
            ASSERT_EQ(len, f.nodes[k].getDataLen()) << k;
            EXPECT_EQ(kept[i][k].iFrame, f.nodes[k].isIFrame()) << k;
            EXPECT_EQ(contentDigest(reinterpret_cast<const char*>(kept[i][k].data.data()), len),
                      contentDigest(f.data.data() + at, len))
                << k;
            at += len;
        }
        EXPECT_EQ(0, f.nodes[0].getTimeOffset());
        if (!haveFfmpeg()) continue;
        const std::vector<long long> dts = probedDts(f.info.createRecordFileName());
        ASSERT_FALSE(dts.empty());
        EXPECT_EQ(10 * 90000, dts[0]);
        for (size_t k = 1; k < dts.size(); ++k) ASSERT_EQ(3600, dts[k] - dts[k - 1]) << k;
    }
    destroyAllSingltonInstances();
    RecordDiskManagerImpl::setConfiguration(RecorderConfig());
}

}  // namespace
