// The backup record storage: which frames start, rotate and retry files, and
// which request type each creation carries, against the scripted destination;
// and the time-stamp arithmetic. Real streams through it: move_test.
#include <memory>

#include "BackupRecordStorage.h"
#include "BackupTestSupport.h"

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
    const F I{1}, P{2}, R{0};  // R: the storage closed and opened again
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
        {"a reopened storage waits for a key frame again", {I, P, R, P, I}, {}, {}, {}, {},
         "create 1; open; write 1; write 2; close; create 1; open; write 4; end; close"},
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
            if (f.type == 0) {
                storage->close();
                ASSERT_EQ(0, storage->open(makeInfo("dev1", 3)));
                continue;
            }
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

}  // namespace
