// The backup record storage against fake writers and directories from the disk
// manager's creation hook: file starts, rotation, the request type of every
// creation, the failure paths and the time-stamp arithmetic.
#include <atomic>
#include <deque>
#include <new>

#include "BackupRecordStorage.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "RecordDiskManagerImpl.h"
#include "Singlton.h"
#include "TQRuntimeError.h"
#include "TagNew.h"

using namespace backup_test;
using ::testing::_;
using ::testing::AnyNumber;
using ::testing::AtMost;
using ::testing::ElementsAre;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::StrictMock;

// Every allocation of the test program is counted, so a test can check that
// a stretch of code allocates nothing. GCC mistakes the replaced pair for a
// mismatch once it inlines them into optimised code.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<long> g_allocations{0};

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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
std::string makeTsFrame(int packets, std::vector<long long> dts) {
    std::string data(packets * 188, '\xFF');
    for (int i = 0; i < packets; ++i) {
        unsigned char* p = reinterpret_cast<unsigned char*>(&data[i * 188]);
        bool start = i < static_cast<int>(dts.size());
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

long long firstDts(const char* data, int length) {
    std::vector<long long> dts = videoDts(data, static_cast<size_t>(length));
    return dts.empty() ? -1 : dts[0];
}

void setFrame(TSAVData& frame, const std::string& data, long long timeMs, int frameType,
              int width = 1920, int esType = 1, int encoder = 1, int height = 1080) {
    frame.setData(data.data(), static_cast<unsigned int>(data.size()));
    frame.setTimeStamp(timeMs);
    frame.setFrameType(frameType);
    frame.setImageWidth(width);
    frame.setImageHeight(height);
    frame.setEncoderType(encoder);
    frame.setESStreamType(esType);
}

struct MockRecordWriter : IRecordWriter {
    MOCK_METHOD(int, open, (SafePointer<RecordFileInfo>&, int&), (override));
    MOCK_METHOD(int, write, (TSAVData*, bool, int), (override));
    MOCK_METHOD(int, close, (), (override));
    ~MockRecordWriter() override { onDestroy(); }
    std::function<void()> onDestroy;
};

struct MockRecordDir : IRecordDir {
    MOCK_METHOD(bool, canWrite, (TSAVData*, int), (override));
    MOCK_METHOD(long long, addWrittenSize, (int), (override));
    ~MockRecordDir() override { onDestroy(); }
    std::function<void()> onDestroy;
};

struct FakeFile {
    StrictMock<MockRecordWriter>* writer;
    StrictMock<MockRecordDir>* dir;
};

class RecordStorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setCreateRecordFileHook(
            [this](SafePointer<RecordFileInfo>& file, int requestType, int reserved,
                   SafePointer<IRecordWriter>& writer, SafePointer<IRecordDir>& dir) {
                events.push_back("create:" + std::to_string(requestType));
                requestTypes.push_back(requestType);
                creations.push_back(*file);
                EXPECT_EQ(0, reserved);
                if (pending.empty()) {
                    ADD_FAILURE() << "unexpected record file creation";
                    return -708;
                }
                Pending p = pending.front();
                pending.pop_front();
                if (p.result != 0) return p.result;
                if (p.file.writer == nullptr) {  // success with an empty writer handle
                    writer.dec_reference();
                    return 0;
                }
                writer = SafePointer<IRecordWriter>(p.file.writer);
                dir = SafePointer<IRecordDir>(p.file.dir);
                return 0;
            });
    }
    void TearDown() override {
        storage.reset();  // verifies the fakes still held by the storage
        for (Pending& p : pending) {
            delete p.file.writer;
            delete p.file.dir;
        }
        RecordDiskManagerImpl::setCreateRecordFileHook({});
        destroyAllSingltonInstances();
    }

    // The next file the disk manager creates: a writer that opens with
    // `startSeconds` and a directory that admits every frame. Every call is
    // appended to `events` as "<call><file number>".
    FakeFile addFile(int startSeconds = 0) {
        const std::string id = std::to_string(++fileCount);
        FakeFile f{new StrictMock<MockRecordWriter>, new StrictMock<MockRecordDir>};
        f.writer->onDestroy = [this, id] { events.push_back("~writer" + id); };
        f.dir->onDestroy = [this, id] { events.push_back("~dir" + id); };
        ON_CALL(*f.writer, open(_, _)).WillByDefault(Invoke([=](auto&, int& s) {
            events.push_back("open" + id);
            s = startSeconds;
            return 0;
        }));
        ON_CALL(*f.writer, write(_, _, _)).WillByDefault(Invoke([=](TSAVData* frame, bool, int) {
            events.push_back("write" + id);
            dts.push_back(firstDts(frame->getData(), frame->getDataLength()));
            return 0;
        }));
        ON_CALL(*f.writer, close()).WillByDefault(Invoke([=] {
            events.push_back("close" + id);
            return 0;
        }));
        ON_CALL(*f.dir, canWrite(_, _)).WillByDefault(Return(true));
        EXPECT_CALL(*f.writer, open(_, _)).Times(AtMost(1));
        EXPECT_CALL(*f.writer, close()).Times(AtMost(1));
        EXPECT_CALL(*f.dir, canWrite(_, 0)).Times(AnyNumber());
        EXPECT_CALL(*f.dir, addWrittenSize(_)).Times(AnyNumber());
        pending.push_back({0, f});
        return f;
    }
    // The next creation fails with `code`, or (0) succeeds with no writer.
    void addRefusal(int code) { pending.push_back({code, {nullptr, nullptr}}); }

    int write(long long timeMs, int frameType, int width = 1920, int esType = 1) {
        setFrame(frame, makeTsFrame(3, {6000 + timeMs * 90}), timeMs, frameType, width, esType);
        return storage->write(0, &frame);
    }
    std::string logLine(size_t i) {
        const std::vector<LogCapture::Entry> all = log.entries();
        if (i >= all.size()) return "(no entry " + std::to_string(i) + ")";
        return all[i].category + "|" + all[i].message + "|" + all[i].file;
    }

    struct Pending {
        int result;
        FakeFile file;
    };
    RecordInfo info = makeInfo("dev1", 3, "10:0:0:7");
    std::unique_ptr<BackupRecordStorage> storage = std::make_unique<BackupRecordStorage>();
    TSAVData frame;
    LogCapture log;
    std::deque<Pending> pending;
    std::vector<RecordFileInfo> creations;  // what the disk manager was asked for
    std::vector<int> requestTypes;
    std::vector<std::string> events;
    std::vector<long long> dts;
    int fileCount = 0;
};

TEST_F(RecordStorageTest, OpenPreparesTheFileDescriptionAndCreatesNoFile) {
    const char* source = NVR_SOURCE_DIR "/backup/BackupRecordStorage.cpp";
    const long tagged = tagNewCount(source);
    BackupRecordStorage other;
    EXPECT_EQ(tagNewCount(source) - tagged, 2);  // the RecordFileInfo and the NullRecordDir

    EXPECT_EQ(write(1000, 1), -703);  // before open: refused
    ASSERT_EQ(storage->open(info), 0);
    EXPECT_STREQ(info.getDeviceIP(), "10:0:0:7");
    EXPECT_STREQ(storage->getRecordInfo().getDeviceIP(), "10-0-0-7");
    const RecordFileInfo& file = *storage->getRecordFileInfo();
    EXPECT_EQ(file.getDeviceIP(), "10-0-0-7");
    EXPECT_EQ(file.getDeviceId(), "dev1");
    EXPECT_EQ(file.getCameraId(), 3);
    EXPECT_EQ(file.getRecordMode(), 1);
    EXPECT_EQ(file.getRecordStorageType(), 1);
    EXPECT_FALSE(file.getLockFlag());
    EXPECT_FALSE(storage->isFileOpen());

    info.setDeviceIP("192.168.1.9");
    storage->close();
    storage->close();
    EXPECT_FALSE(storage->isOpened());
    EXPECT_EQ(write(1000, 1), -703);  // refused after close
    ASSERT_EQ(storage->open(info), 0);
    EXPECT_EQ(storage->getRecordFileInfo()->getDeviceIP(), "192.168.1.9");
    EXPECT_TRUE(creations.empty());
}

TEST_F(RecordStorageTest, FilesStartAtFirstIFrameAndRotateOnFormatChange) {
    ASSERT_EQ(storage->open(info), 0);
    FakeFile f1 = addFile();
    EXPECT_CALL(*f1.writer, write(_, false, 0)).Times(3);
    EXPECT_EQ(write(1000, 2), 0);           // P-frame before the first I-frame: dropped
    EXPECT_EQ(write(1040, 1, 1920, 2), 0);  // stream type 2 never starts the first file
    EXPECT_TRUE(creations.empty());
    EXPECT_FALSE(storage->isFileOpen());
    const long long t0 = 1700000000123LL;
    EXPECT_EQ(write(t0, 1), 0);
    EXPECT_EQ(write(t0 + 40, 2), 0);
    EXPECT_EQ(write(t0 + 80, 2), 0);
    ASSERT_EQ(creations.size(), 1u);
    EXPECT_EQ(creations[0].getRecordBeginTime(), t0);
    EXPECT_EQ(creations[0].getRecordDate(), BasicTool::getDateString(t0));
    EXPECT_EQ(creations[0].getAVStreamInfo().getImageWidth(), 1920);

    // A new width starts a file at that very frame, P-frame or not; the
    // request type is the one last set (1 since open).
    FakeFile f2 = addFile();
    EXPECT_CALL(*f2.writer, write(_, false, 0)).Times(1);
    EXPECT_EQ(write(t0 + 120, 2, 1280), 0);
    // A format change on stream type 2 closes the file and drops the frame;
    // the next frame of that format starts a file through "no file open".
    EXPECT_EQ(write(t0 + 160, 2, 640, 2), 0);
    EXPECT_FALSE(storage->isFileOpen());
    FakeFile f3 = addFile();
    EXPECT_CALL(*f3.writer, write(_, false, 0)).Times(1);
    EXPECT_EQ(write(t0 + 200, 2, 640), 0);
    EXPECT_THAT(requestTypes, ElementsAre(1, 1, 0));
    EXPECT_THAT(events, ElementsAre("create:1", "open1", "write1", "write1", "write1", "close1",
                                    "create:1", "~writer1", "~dir1", "open2", "write2", "close2",
                                    "create:0", "~writer2", "~dir2", "open3", "write3"));

    // Encoder type and height changes rotate too.
    FakeFile f4 = addFile();
    EXPECT_CALL(*f4.writer, write(_, false, 0)).Times(1);
    setFrame(frame, makeTsFrame(1, {0}), t0 + 240, 2, 640, 1, 2);
    EXPECT_EQ(storage->write(0, &frame), 0);
    FakeFile f5 = addFile();
    EXPECT_CALL(*f5.writer, write(_, false, 0)).Times(1);
    setFrame(frame, makeTsFrame(1, {0}), t0 + 280, 2, 640, 1, 2, 480);
    EXPECT_EQ(storage->write(0, &frame), 0);
    EXPECT_EQ(creations.size(), 5u);
    EXPECT_EQ(creations[3].getAVStreamInfo().getEncoderType(), 2);

    // Destroying the open storage closes the file, then releases the
    // directory before the writer.
    events.clear();
    storage.reset();
    EXPECT_THAT(events, ElementsAre("close5", "~dir5", "~writer5"));
}

TEST_F(RecordStorageTest, FailedCreationsKeepTheStorageOpen) {
    ASSERT_EQ(storage->open(info), 0);
    // First file: the disk manager refuses, then the writer fails to open.
    // Both leave request type 1 for the next I-frame.
    addRefusal(-708);
    EXPECT_EQ(write(1000, 1), -708);
    FakeFile f1 = addFile();
    EXPECT_CALL(*f1.writer, open(_, _)).WillOnce(Return(-705));
    EXPECT_EQ(write(1040, 1), -705);
    EXPECT_EQ(storage->getRequestTypeValue(), 1);
    EXPECT_EQ(write(1080, 2), 0);  // still no first file: dropped
    FakeFile f2 = addFile();
    EXPECT_CALL(*f2.writer, write(_, _, _)).Times(1);
    EXPECT_EQ(write(1120, 1), 0);

    // A later writer-open failure sets 3, which a format change hands on.
    FakeFile f3 = addFile();
    EXPECT_CALL(*f3.writer, open(_, _)).WillOnce(Return(-705));
    EXPECT_EQ(write(1160, 2, 1280), -705);
    EXPECT_FALSE(storage->isFileOpen());
    addRefusal(-713);
    EXPECT_EQ(write(1200, 2, 640), -713);  // a later refusal leaves the type alone
    EXPECT_EQ(storage->getRequestTypeValue(), 3);
    FakeFile f4 = addFile();
    EXPECT_CALL(*f4.writer, write(_, _, _)).Times(1);
    EXPECT_EQ(write(1240, 2, 320), 0);
    EXPECT_THAT(requestTypes, ElementsAre(1, 1, 1, 1, 3, 3));
    EXPECT_TRUE(storage->isOpened());
}

TEST_F(RecordStorageTest, WriteFailuresRetryOnceInAFreshFile) {
    ASSERT_EQ(storage->open(info), 0);
    FakeFile f1 = addFile();
    FakeFile f2 = addFile();
    FakeFile f3 = addFile();
    FakeFile f4 = addFile();
    auto written = [this](const char* event) {
        return Invoke([this, event](TSAVData*, bool, int) {
            events.push_back(event);
            return 0;
        });
    };
    // -737 before anything was written since open: dropped, the file stays.
    EXPECT_CALL(*f1.writer, write(_, _, _))
        .WillOnce(Return(-737))
        .WillOnce(written("write1"))
        .WillOnce(Return(-707));
    EXPECT_CALL(*f1.dir, addWrittenSize(3 * 188)).Times(1);
    EXPECT_EQ(write(1000, 1), 0);
    EXPECT_TRUE(storage->isFileOpen());
    EXPECT_EQ(write(1040, 2), 0);
    // -707 once: closed, a new file with type 6, the frame written there.
    EXPECT_CALL(*f2.writer, write(_, _, _)).WillOnce(written("write2")).WillOnce(Return(-737));
    EXPECT_EQ(write(1080, 2), 0);
    // -737 once something was written: a new file with type 5.
    EXPECT_CALL(*f3.writer, write(_, _, _)).Times(1);
    EXPECT_CALL(*f3.dir, canWrite(_, 0)).WillOnce(Return(true)).WillOnce(Return(false));
    EXPECT_EQ(write(1120, 2), 0);
    // The directory refuses in both files: -703, type 2, no file open.
    EXPECT_CALL(*f4.dir, canWrite(_, 0)).WillOnce(Return(false));
    EXPECT_EQ(write(1160, 2), -703);
    EXPECT_EQ(storage->getRequestTypeValue(), 2);
    EXPECT_FALSE(storage->isFileOpen());
    // No file open: the next frame fails with "no file open" first and is
    // written into a fresh file of type 0.
    FakeFile f5 = addFile();
    EXPECT_CALL(*f5.writer, write(_, _, _)).WillOnce(Return(0)).WillOnce(Return(-707));
    EXPECT_EQ(write(1200, 2), 0);
    // -707 twice: returned, and no file is open.
    FakeFile f6 = addFile();
    EXPECT_CALL(*f6.writer, write(_, _, _)).WillOnce(Return(-707));
    EXPECT_EQ(write(1240, 2), -707);
    EXPECT_FALSE(storage->isFileOpen());
    FakeFile f7 = addFile();
    EXPECT_CALL(*f7.writer, write(_, _, _)).Times(1);
    EXPECT_EQ(write(1280, 2), 0);
    EXPECT_THAT(requestTypes, ElementsAre(1, 6, 5, 2, 0, 6, 0));
    EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 8),
                ElementsAre("create:1", "open1", "write1", "close1", "create:6", "~writer1",
                            "~dir1", "open2"));
    EXPECT_TRUE(storage->isOpened());
}

TEST_F(RecordStorageTest, RuntimeErrorsAreLoggedAndCloseTheFile) {
    ASSERT_EQ(storage->open(info), 0);
    // A disk manager that reports success but leaves the writer empty.
    addRefusal(0);
    EXPECT_EQ(write(1000, 1), -739);
    EXPECT_EQ(logLine(0),
              "RecordIOError|SafePointer Report:13IRecordWriter Use NULL pointer ->|"
              "BackupRecordStorage");
    // A writer that throws on its first write: closed, logged, -739.
    FakeFile f1 = addFile();
    EXPECT_CALL(*f1.writer, write(_, _, _)).WillOnce(Invoke([](TSAVData*, bool, int) -> int {
        throw TQRuntimeError("disk gone");
    }));
    EXPECT_EQ(write(1040, 1), -739);
    EXPECT_FALSE(storage->isFileOpen());
    EXPECT_TRUE(storage->isOpened());
    EXPECT_EQ(logLine(1), "RecordIOError|disk gone|BackupRecordStorage");
    // With no file open, the next frame's write happens in the retry block:
    // a throw there closes the fresh file.
    FakeFile f2 = addFile();
    EXPECT_CALL(*f2.writer, write(_, _, _)).WillOnce(Invoke([](TSAVData*, bool, int) -> int {
        throw TQRuntimeError("again");
    }));
    EXPECT_EQ(write(1080, 2), -739);
    EXPECT_EQ(log.entries().size(), 3u);
    EXPECT_EQ(logLine(2), "RecordIOError|again|BackupRecordStorage");
    EXPECT_THAT(requestTypes, ElementsAre(1, 1, 0));
    EXPECT_EQ(events.back(), "close2");
    EXPECT_FALSE(storage->isFileOpen());
}

TEST_F(RecordStorageTest, BadFramesNeverCrashAndLeaveTheFileOpen) {
    ASSERT_EQ(storage->open(info), 0);
    FakeFile f1 = addFile();
    EXPECT_CALL(*f1.writer, write(_, _, _)).Times(3);
    EXPECT_EQ(write(1000, 1), 0);
    long long timeStamp = storage->getTimeStampValue();

    // Sync byte missing in the second packet: dropped after the admission
    // check, time line untouched.
    std::string bad = makeTsFrame(3, {0});
    bad[188] = 0x00;
    EXPECT_CALL(*f1.dir, canWrite(&frame, 0)).Times(4).WillRepeatedly(Return(true));
    setFrame(frame, bad, 1040, 2);
    EXPECT_EQ(storage->write(0, &frame), 0);
    bad[188] = 0x47;
    bad[0] = 0x46;
    setFrame(frame, bad, 1040, 2);
    EXPECT_EQ(storage->write(0, &frame), 0);
    EXPECT_EQ(storage->getTimeStampValue(), timeStamp);
    EXPECT_TRUE(storage->isFileOpen());

    // Length 0 and a trailing partial packet that starts with the sync byte
    // both go to the writer.
    EXPECT_CALL(*f1.dir, addWrittenSize(0)).Times(1);
    frame.setData(nullptr, 0);
    EXPECT_EQ(storage->write(0, &frame), 0);
    std::string partial = makeTsFrame(1, {0}) + std::string("\x47\x01\x00", 3);
    setFrame(frame, partial, 1080, 2);
    EXPECT_EQ(storage->write(0, &frame), 0);

    // Picture size 0 is just another format: a new file, no crash.
    FakeFile f2 = addFile();
    EXPECT_CALL(*f2.writer, write(_, _, _)).Times(1);
    setFrame(frame, makeTsFrame(1, {0}), 1120, 2, 0, 1, 1, 0);
    EXPECT_EQ(storage->write(0, &frame), 0);
    EXPECT_TRUE(storage->isOpened());
}

TEST_F(RecordStorageTest, TimeStampsStartAtTheWritersStartAndFollowTheConversions) {
    ASSERT_EQ(storage->open(info), 0);
    FakeFile f1 = addFile(5);
    EXPECT_CALL(*f1.writer, write(_, _, _)).Times(2);
    EXPECT_EQ(write(1000, 1), 0);
    // 5 s = 5,000,000 us = 450,000 ticks; a frame of one PES lasts 3600 ticks.
    EXPECT_EQ(storage->getTimeStampValue(), 5040000);
    EXPECT_EQ(write(1040, 2), 0);
    EXPECT_THAT(dts, ElementsAre(450000, 453600));
    EXPECT_EQ(storage->getTimeStampValue(), 5080000);

    // A writer close that throws keeps the time line; a clean close resets it.
    EXPECT_CALL(*f1.writer, close()).WillOnce(Invoke([]() -> int { throw TQRuntimeError("x"); }));
    storage->baseClose();
    EXPECT_FALSE(storage->isFileOpen());
    EXPECT_EQ(storage->getTimeStampValue(), 5080000);
    FakeFile f2 = addFile(5);
    EXPECT_CALL(*f2.writer, write(_, _, _)).Times(1);
    EXPECT_EQ(write(1080, 2), 0);
    storage->baseClose();
    EXPECT_EQ(storage->getTimeStampValue(), 0);

    // A frame of three PES d ticks apart spans 3d ticks (two steps and one
    // more frame). 100 us is base 9 and the answer 18 ticks is 200 us; 11 us
    // is base 0 and 3 ticks, rounded up to 9, come back as 100 us.
    struct Case {
        long long us;
        long long step;
        long long firstDts;
        long long next;
    } cases[] = {
        {100, 3, 9, 200},
        {11, 1, 0, 100},
        {-100, 3, (1LL << 33) - 9, 0},  // base -9 wraps; the answer is 0 again
        // ticks x 100 passes 2^63: taken modulo 2^64, then divided signed.
        {1024819115206086200LL, 3, 92233720368547758LL & ((1LL << 33) - 1), -1024819115206086101LL},
    };
    for (const Case& c : cases) {
        setFrame(frame, makeTsFrame(4, {70000, 70000 + c.step, 70000 + 2 * c.step}), 0, 2);
        EXPECT_EQ(storage->updata(&frame, c.us), c.next) << c.us;
        EXPECT_EQ(firstDts(frame.getData(), frame.getDataLength()), c.firstDts) << c.us;
    }

    // Frames of 3 ticks back to back: each starts where the previous one ended
    // or later, never inside it, although the answer passes through us.
    long long us = 11;
    long long previousEnd = 0;
    for (int i = 0; i < 3; ++i) {
        setFrame(frame, makeTsFrame(4, {70000, 70001, 70002}), 0, 2);
        us = storage->updata(&frame, us);
        const long long first = firstDts(frame.getData(), frame.getDataLength());
        EXPECT_GE(first, previousEnd) << i;
        previousEnd = first + 3;
    }
}

// Hand-written (gmock records every call, which allocates).
class PlainWriter : public IRecordWriter {
  public:
    int open(SafePointer<RecordFileInfo>&, int& startSeconds) override {
        startSeconds = 10;
        return 0;
    }
    int write(TSAVData*, bool, int) override { return ++writes, 0; }
    int close() override { return 0; }
    int writes = 0;
};

class PlainDir : public IRecordDir {
  public:
    bool canWrite(TSAVData*, int) override { return true; }
    long long addWrittenSize(int size) override { return written += size; }
    long long written = 0;
};

TEST(RecordStorageFramePath, WritingIntoAnOpenFileAllocatesNothing) {
    destroyAllSingltonInstances();
    PlainWriter* writer = new PlainWriter;
    PlainDir* dir = new PlainDir;
    RecordDiskManagerImpl::setCreateRecordFileHook([&](SafePointer<RecordFileInfo>&, int, int,
                                                       SafePointer<IRecordWriter>& w,
                                                       SafePointer<IRecordDir>& d) {
        w = SafePointer<IRecordWriter>(writer);
        d = SafePointer<IRecordDir>(dir);
        return 0;
    });
    {
        BackupRecordStorage storage;
        RecordInfo info;
        info.setDeviceId("dev");
        ASSERT_EQ(storage.open(info), 0);
        std::string data = makeTsFrame(40, {1000, 4600, 8200});
        TSAVData frame;
        setFrame(frame, data, 1000, 1);
        ASSERT_EQ(storage.write(0, &frame), 0);  // creates the file

        frame.setFrameType(2);
        long before = g_allocations.load();
        for (int i = 0; i < 100; ++i) {
            frame.setData(data.data(), static_cast<unsigned int>(data.size()));
            frame.setTimeStamp(1040 + i * 40);
            ASSERT_EQ(storage.write(0, &frame), 0);
        }
        EXPECT_EQ(g_allocations.load() - before, 0);
        EXPECT_EQ(writer->writes, 101);
        EXPECT_EQ(dir->written, 101LL * 40 * 188);
    }
    RecordDiskManagerImpl::setCreateRecordFileHook({});
    destroyAllSingltonInstances();
}

}  // namespace
