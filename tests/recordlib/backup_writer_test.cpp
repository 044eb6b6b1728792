// The backup side of the record library: creating files on a backup disk,
// writing frames, durable close, a full disk and failing I/O.
#include <gtest/gtest.h>

#include <condition_variable>
#include <sstream>

#include "BasicTool.h"
#include "RecordFileReader.h"
#include "RecordIndexFileParserEx.h"
#include "RecordRecycleBin.h"
#include "RecordTestSupport.h"
#include "RetrieverFileQuery.h"
#include "TSAVData.h"
#include "store/BackupDisk.h"
#include "store/BackupRecordWriter.h"
#include "store/FileSystem.h"
#include "store/RecordIndexFile.h"

namespace {

using namespace rectest;

const long long kBegin = 1704067200000LL + 3600000LL;
const long long kReserve = 1 << 20;

TSAVData frame(int index, int count = 2) {
    TSAVData f;
    std::vector<char> d = packets(count, index);
    f.setData(d.data(), static_cast<unsigned int>(d.size()));
    f.setTimeStamp(kBegin + index * 200);
    f.setDataTimeLength(200);
    f.setFrameType(index % 5 == 0 ? 1 : 2);
    f.setESStreamType(1);
    f.setImageWidth(640);
    f.setImageHeight(360);
    f.setEncoderType(1);
    return f;
}

std::vector<char> bytesOf(const TSAVData& f) {
    return std::vector<char>(f.getData(), f.getData() + f.getDataLength());
}

class BackupWriterTest : public ::testing::Test {
  protected:
    // These tests check what a close itself does and answers: it is done
    // before close() returns (a file closed in the background is tested on
    // its own below).
    BackupWriterTest() { BackupRecordWriter::setCloseInBackground(false); }
    ~BackupWriterTest() override { BackupRecordWriter::setCloseInBackground(true); }

    void configure(std::vector<std::string> roots, long long segment = 64LL << 20,
                   bool prepare = true) {
        RecorderConfig c;
        c.recordDirs.push_back(makeRecordDir(tmp.sub("local"), RecordDirInfoEx::kAttributeLocal));
        for (const std::string& r : roots) {
            c.backupDirs.push_back(makeRecordDir(r, RecordDirInfoEx::kAttributeBackup, 0, segment));
            std::string diskId;
            if (std::filesystem::is_directory(r) && prepare) {
                EXPECT_EQ(0, BackupDisk::prepare(*posixFileSystem(), r, diskId));
            }
        }
        c.backupReserveBytes = kReserve;
        config.reset();
        config.reset(new ConfigScope(c));
    }
    // One backup directory behind a fault-injecting file system.
    FaultFileSystem& faultyBackupDir(long long segment = 64LL << 20) {
        std::filesystem::create_directories(tmp.sub("backup"));
        configure({tmp.sub("backup")}, segment);
        m_fs.reset(new FaultFileSystem);
        m_fsScope.reset(new FileSystemScope(m_fs.get()));
        return *m_fs;
    }

    SafePointer<RecordFileInfo> description(int camera = 2) {
        SafePointer<RecordFileInfo> info(new RecordFileInfo);
        info->setDeviceId("dev_1");
        info->setDeviceIP("10-0-0-1");
        info->setCameraId(camera);
        info->setRecordMode(1);
        info->setRecordStorageType(1);
        info->setRecordBeginTime(kBegin);
        info->setRecordDate(BasicTool::getDateString(kBegin));
        TSAVData first = frame(0);
        info->setAVStreamInfo(AVStreamInfo(&first));
        return info;
    }
    int create(SafePointer<RecordFileInfo>& info, int requestType = 1) {
        return Singlton<RecordDiskManagerImpl>::getInstance()->createRecordFile(info, requestType,
                                                                                0, writer, dir);
    }
    // Creates and opens a new backup file; the writer starts at second 10.
    void openNew(SafePointer<RecordFileInfo>& info, int requestType = 1) {
        ASSERT_EQ(kRecordOk, create(info, requestType));
        int start = 0;
        ASSERT_EQ(kRecordOk, writer->open(info, start));
        EXPECT_EQ(10, start);
    }
    int write(TSAVData f) { return writer->write(&f, false, 0); }

    // The backup files of dev_1/camera 2 the query gives out, oldest first.
    std::vector<RecordFileInfo> listed() {
        std::vector<RecordDirInfoEx> dirs, backups;
        Singlton<RecordDiskManagerImpl>::getInstance()->getRecordDirInfoList(dirs);
        std::set<std::string> devices;
        for (const RecordDirInfoEx& d : dirs) {
            if (d.getAttribute() != RecordDirInfoEx::kAttributeBackup) continue;
            backups.push_back(d);
            std::vector<std::string> names;
            BasicTool::getMatchDeviceDirList(d, "record", "dev_1", "", 2, names);
            devices.insert(names.begin(), names.end());
        }
        RetrieverFileQuery q;
        q.setRecordDirInfo(backups);
        q.setDeviceList(devices);
        std::vector<RecordFileInfo> out;
        q.listRecordFiles(out, true);
        return out;
    }
    std::vector<char> readAll(const RecordFileInfo& info, std::vector<RecordIndexNode>* nodes) {
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        EXPECT_EQ(kRecordOk, openRecordFileForRead(info, file, walk));
        std::vector<char> data;
        while (!file.isNull() && walk.seekNext()) {
            RecordIndexNode n;
            walk.getCurrentNodeInfo(n);
            if (nodes != nullptr) nodes->push_back(n);
            data.resize(data.size() + n.getDataLen());
            EXPECT_EQ(n.getDataLen(),
                      file->read(data.data() + data.size() - n.getDataLen(), n.getDataLen()));
        }
        return data;
    }

    TempDir tmp;
    std::unique_ptr<ConfigScope> config;
    // Held through unique_ptr: a handle's destructor may throw, the
    // fixture's may not.
    std::unique_ptr<SafePointer<IRecordWriter>> m_writer{new SafePointer<IRecordWriter>};
    std::unique_ptr<SafePointer<IRecordDir>> m_dir{new SafePointer<IRecordDir>};
    SafePointer<IRecordWriter>& writer = *m_writer;
    SafePointer<IRecordDir>& dir = *m_dir;
    std::unique_ptr<FaultFileSystem> m_fs;
    std::unique_ptr<FileSystemScope> m_fsScope;
};

TEST_F(BackupWriterTest, MissingBackupRootIsNeverCreated) {
    const std::string unmounted = tmp.sub("mnt/usb");
    configure({unmounted});
    SafePointer<RecordFileInfo> info = description();
    EXPECT_EQ(kRecordNoDir, create(info));
    EXPECT_TRUE(writer.isNull());

    // With a mounted second disk, the file goes there.
    std::filesystem::create_directories(tmp.sub("backup2"));
    configure({unmounted, tmp.sub("backup2")});
    openNew(info);
    EXPECT_EQ(tmp.sub("backup2"), info->getRecordDirInfo().getRecordRootDir());
    EXPECT_EQ(kRecordOk, writer->close());

    // The disk is unplugged between creation and open: the open fails.
    ASSERT_EQ(kRecordOk, create(info));
    std::filesystem::remove_all(tmp.sub("backup2"));
    int start = 0;
    EXPECT_EQ(kRecordNoDir, writer->open(info, start));
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("backup2")));
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("mnt")));

    // A bare mount point (the folder is there, the disk is not mounted on
    // it) is refused and left untouched, until it is prepared.
    std::filesystem::create_directories(tmp.sub("bare"));
    configure({tmp.sub("bare")}, 64LL << 20, false);
    EXPECT_EQ(kRecordNoDir, create(info));
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("bare/record")));
    configure({tmp.sub("bare")});
    openNew(info);
    EXPECT_EQ(kRecordOk, writer->close());
}

TEST_F(BackupWriterTest, WrittenFileIsListedAndReadsBackByteForByte) {
    std::filesystem::create_directories(tmp.sub("backup"));
    configure({tmp.sub("backup")});
    SafePointer<RecordFileInfo> info = description();
    openNew(info);
    std::vector<char> written;
    for (int i = 0; i < 12; ++i) {
        TSAVData f = frame(i, 1 + i % 3);
        ASSERT_TRUE(dir->canWrite(&f, 0));
        ASSERT_EQ(kRecordOk, write(f));
        dir->addWrittenSize(f.getDataLength());
        const std::vector<char> b = bytesOf(f);
        written.insert(written.end(), b.begin(), b.end());
    }
    EXPECT_EQ(static_cast<long long>(written.size()), dir->addWrittenSize(0));
    EXPECT_TRUE(listed().empty());  // not given out before it is closed
    ASSERT_EQ(kRecordOk, writer->close());
    EXPECT_EQ(kRecordOk, writer->close());

    std::vector<RecordFileInfo> files = listed();
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(info->createRecordFileName(), files[0].createRecordFileName());
    EXPECT_EQ(kBegin, files[0].getRecordBeginTime());
    EXPECT_EQ(kBegin + 12 * 200, files[0].getRecordEndTime());
    EXPECT_EQ(1, files[0].getRecordMode());
    EXPECT_EQ(640, files[0].getAVStreamInfo().getImageWidth());
    std::vector<RecordIndexNode> nodes;
    EXPECT_EQ(written, readAll(files[0], &nodes));
    ASSERT_EQ(12u, nodes.size());
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(i * 200, nodes[i].getTimeOffset());
        EXPECT_EQ(200, nodes[i].getTimeLen());
        EXPECT_EQ(i % 5 == 0, nodes[i].isIFrame());
    }

    // A second file with the same begin time gets a name of its own.
    openNew(info);
    ASSERT_EQ(kRecordOk, write(frame(0)));
    ASSERT_EQ(kRecordOk, writer->close());
    EXPECT_EQ(2u, listed().size());

    // A file closed without a frame leaves nothing behind.
    openNew(info);
    const std::string empty = info->createRecordFileName();
    ASSERT_TRUE(std::filesystem::exists(empty));
    ASSERT_EQ(kRecordOk, writer->close());
    EXPECT_FALSE(std::filesystem::exists(empty));
    EXPECT_EQ(2u, listed().size());
}

TEST_F(BackupWriterTest, CloseMakesDataDurableBeforeTheCompleteIndexEntry) {
    FaultFileSystem& fs = faultyBackupDir();
    SafePointer<RecordFileInfo> info = description();
    openNew(info);
    ASSERT_EQ(kRecordOk, write(frame(0)));
    const std::string day = fsutil::dirName(info->createRecordFileName());
    fs.clearCalls();
    ASSERT_EQ(kRecordOk, writer->close());

    // Data fsync, then the day folder, then the index entry, itself synced.
    const std::vector<std::string> calls = fs.calls();
    auto find = [&calls](const std::string& prefix, size_t from) {
        while (from < calls.size() && calls[from].rfind(prefix, 0) != 0) ++from;
        return from;
    };
    const size_t indexOpen = find("open:" + RecordIndexFile::pathOf(day), 0);
    ASSERT_LT(indexOpen, calls.size());
    EXPECT_LT(find("fsync:", 0), find("syncDir:" + day, 0));
    EXPECT_LT(find("syncDir:" + day, 0), indexOpen);
    EXPECT_LT(find("fsync:", indexOpen), calls.size());

    // A failing fsync of the data is an I/O error, and the file is not
    // listed as complete.
    openNew(info);
    ASSERT_EQ(kRecordOk, write(frame(0)));
    fs.failOn("fsync", kRecordIOError);
    EXPECT_EQ(kRecordIOError, writer->close());
    fs.clear();
    EXPECT_EQ(1u, listed().size());
}

TEST_F(BackupWriterTest, FullDiskRefusesFramesAndFiles) {
    FaultFileSystem& fs = faultyBackupDir();
    SafePointer<RecordFileInfo> info = description();
    fs.setFreeSpace(kReserve);
    EXPECT_EQ(kRecordDirRefused, create(info));
    EXPECT_TRUE(writer.isNull());

    fs.setFreeSpace(kReserve + 188 * 3);
    openNew(info);
    TSAVData small = frame(0, 3), big = frame(1, 4);
    EXPECT_TRUE(dir->canWrite(&small, 0));
    EXPECT_FALSE(dir->canWrite(&big, 0));
    fs.failOn("freeSpace", kRecordIOError);
    EXPECT_FALSE(dir->canWrite(&small, 0));
    fs.clear();

    // The disk fills up under the writer: -703, then the file is broken
    // (-707), and close keeps what was written before.
    ASSERT_EQ(kRecordOk, write(small));
    fs.failWrite(kRecordNoSpace, 0, false);
    EXPECT_EQ(kRecordDirRefused, write(big));
    EXPECT_EQ(kRecordIOError, write(small));
    ASSERT_EQ(kRecordOk, writer->close());
    std::vector<RecordFileInfo> files = listed();
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(bytesOf(small), readAll(files[0], nullptr));
    EXPECT_EQ(small.getDataLength(), std::filesystem::file_size(files[0].createRecordFileName()));
}

TEST_F(BackupWriterTest, SegmentLimitAndIOErrors) {
    FaultFileSystem& fs = faultyBackupDir(188 * 5);
    SafePointer<RecordFileInfo> info = description();
    openNew(info);
    const TSAVData three = frame(0, 3), two = frame(1, 2);
    ASSERT_EQ(kRecordOk, write(three));
    EXPECT_EQ(kRecordSegmentFull, write(three));
    ASSERT_EQ(kRecordOk, write(two));
    ASSERT_EQ(kRecordOk, writer->close());
    EXPECT_EQ(kRecordIOError, write(two));

    openNew(info, 5);
    fs.failWrite(kRecordIOError, 0, true);
    EXPECT_EQ(kRecordIOError, write(two));
    fs.clear();
    EXPECT_EQ(kRecordIOError, write(two));  // the file stays broken
    EXPECT_EQ(kRecordOk, writer->close());

    // The folders below the root cannot be made: the open fails cleanly.
    fs.failOn("mkdir", kRecordIOError);
    SafePointer<RecordFileInfo> other = description(3);
    other->setRecordDate("");
    ASSERT_EQ(kRecordOk, create(other, 6));
    int start = 0;
    EXPECT_EQ(kRecordIOError, writer->open(other, start));
}

// A file ends at a key frame once the group of pictures it opens would not
// fit: the key frame is refused (-737) and starts the next file. Frames are
// "K<packets>" (key) or "P<packets>"; results '.' written, 'X' -737. A
// refused frame is not written, and the row goes on in the same file.
TEST_F(BackupWriterTest, KeyFrameStartsTheNextFileWhenItsGroupWouldNotFit) {
    struct Row {
        const char* name;
        int segmentPackets;
        const char* frames;
        const char* results;
    };
    const Row rows[] = {
        {"one and a half groups of room left, then not", 20, "K2 P2 P2 K2 P2 P2 K2", "......X"},
        {"the largest group of the file counts", 25, "K2 P8 K2 P4 K2", "....X"},
        {"a frame that does not fit at all", 6, "K2 P2 P2 P2", "...X"},
        {"the first frame of a file is never held back", 4, "K4 P1 K1", ".XX"},
        {"no segment limit", 0, "K2 P2 K2 P2 K2", "....."},
    };
    std::filesystem::create_directories(tmp.sub("backup"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        configure({tmp.sub("backup")}, 188LL * row.segmentPackets);
        SafePointer<RecordFileInfo> info = description();
        openNew(info);
        std::string results;
        std::istringstream frames(row.frames);
        std::string token;
        for (int i = 0; frames >> token; ++i) {
            TSAVData f = frame(i, std::stoi(token.substr(1)));
            f.setFrameType(token[0] == 'K' ? 1 : 2);
            const int r = write(f);
            results += r == kRecordOk ? '.' : r == kRecordSegmentFull ? 'X' : '?';
        }
        EXPECT_EQ(row.results, results);
        EXPECT_EQ(kRecordOk, writer->close());
    }
}

// Fails the Nth write for N = 0, 1, ... over a whole file, once as a
// transient and once as a persistent fault, until the run passes untouched.
// Whatever the library then lists as complete reads back exactly as written.
TEST_F(BackupWriterTest, FailingEachWriteInTurnNeverListsWrongData) {
    FaultFileSystem& fs = faultyBackupDir();
    for (int persistent = 0; persistent < 2; ++persistent) {
        for (int n = 0;; ++n) {
            std::filesystem::remove_all(tmp.sub("backup/record"));
            fs.clear();
            fs.failWrite(n % 2 ? kRecordNoSpace : kRecordIOError, n, persistent == 1);
            SafePointer<RecordFileInfo> info = description();
            ASSERT_EQ(kRecordOk, create(info));
            int start = 0;
            const bool opened = writer->open(info, start) == kRecordOk;
            bool faulted = !opened;
            std::vector<char> good;
            for (int i = 0; i < 6 && opened; ++i) {
                TSAVData f = frame(i, 1 + i % 2);
                int r = write(f);
                if (r == kRecordOk) {
                    const std::vector<char> b = bytesOf(f);
                    good.insert(good.end(), b.begin(), b.end());
                } else {
                    EXPECT_TRUE(r == kRecordIOError || r == kRecordDirRefused) << r;
                    faulted = true;
                }
            }
            if (opened && writer->close() != kRecordOk) faulted = true;
            fs.clear();
            std::vector<RecordFileInfo> files = listed();
            ASSERT_LE(files.size(), 1u);
            if (!files.empty()) {
                EXPECT_EQ(good, readAll(files[0], nullptr)) << "fault at write " << n;
            }
            if (!faulted) {
                EXPECT_EQ(1u, files.size());
                break;
            }
            ASSERT_LT(n, 50);
        }
    }
}

// A file closed in the background holds the source files whose frames it
// took until the flusher has made it durable: close() answers at once while
// the flusher waits at the data's fsync, and the source and its index entry
// are still there. A flush that fails keeps both for another move.
TEST_F(BackupWriterTest, FileClosedInTheBackgroundHoldsItsSourcesUntilDurable) {
    // Lets every fsync through only once opened.
    class GatedFileSystem : public FaultFileSystem {
      public:
        void open(bool open) {
            std::lock_guard<std::mutex> g(m_gateLock);
            m_open = open;
            m_gateChanged.notify_all();
        }
        int fsync(int fd) override {
            std::unique_lock<std::mutex> g(m_gateLock);
            m_gateChanged.wait(g, [this] { return m_open; });
            g.unlock();
            return FaultFileSystem::fsync(fd);
        }

      private:
        std::mutex m_gateLock;
        std::condition_variable m_gateChanged;
        bool m_open = true;
    };
    struct Case {
        const char* name;
        bool flushFails;
    };
    for (const Case c : {Case{"durable", false}, Case{"flush failed", true}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(tmp.sub("local"));
        std::filesystem::remove_all(tmp.sub("backup/record"));
        std::filesystem::create_directories(tmp.sub("local"));
        std::filesystem::create_directories(tmp.sub("backup"));
        configure({tmp.sub("backup")});
        GatedFileSystem gated;
        FileSystemScope scope(&gated);
        BackupRecordWriter::setCloseInBackground(true);
        const RecordDirInfoEx local =
            makeRecordDir(tmp.sub("local"), RecordDirInfoEx::kAttributeLocal);
        LocalRecorder recorder(local, "dev_1", "10-0-0-1", 2);
        ASSERT_EQ(kRecordOk, recorder.startFile(kBegin, AVStreamInfo()));
        std::vector<char> d = packets(2, 0);
        ASSERT_EQ(kRecordOk, recorder.addNode(d.data(), 376, kBegin, 200, true));
        ASSERT_EQ(kRecordOk, recorder.finishFile());
        const RecordFileInfo source = recorder.currentFile();
        const std::string indexPath =
            RecordIndexFile::pathOf(fsutil::dirName(source.createRecordFileName()));
        auto listed = [&] {
            std::vector<RecordIndexEntry> entries;
            EXPECT_EQ(kRecordOk, RecordIndexFile::load(*posixFileSystem(), indexPath, entries));
            return entries.size();
        };

        SafePointer<RecordFileInfo> info = description();
        openNew(info);
        ASSERT_EQ(kRecordOk, write(frame(0)));
        // The source read to its end leaves as the retriever removes it.
        RecordRecycleBin bin(local.getDiskType(), tmp.sub("local/record"));
        ASSERT_EQ(kRecordOk, bin.init(1, 0));
        ASSERT_EQ(1, bin.deleteFile(source.createRecordFileName(), source.getRecordFileName()));
        RecordIndexFileParserEx parser;
        ASSERT_EQ(1, parser.open(local, source.getRecordDate(),
                                 BasicTool::getDeviceDirString("dev_1", "10-0-0-1", 2), 1, 1));
        ASSERT_EQ(1, parser.deleteFile(source));
        ASSERT_EQ(kRecordOk, parser.close());

        gated.open(false);
        if (c.flushFails) gated.failOn("fsync", kRecordIOError);
        LogCatcher kept("RecordMove");
        EXPECT_EQ(kRecordOk, writer->close());
        EXPECT_TRUE(std::filesystem::exists(source.createRecordFileName()));
        EXPECT_EQ(1u, listed());
        gated.open(true);
        BackupRecordWriter::waitForClosedFiles();
        BackupRecordWriter::setCloseInBackground(false);
        gated.clear();
        EXPECT_EQ(c.flushFails, std::filesystem::exists(source.createRecordFileName()));
        EXPECT_EQ(c.flushFails ? 1u : 0u, listed());
        EXPECT_EQ(c.flushFails, kept.contains("kept"));
        EXPECT_EQ(c.flushFails ? 0u : 1u, this->listed().size());  // the backup file, complete
    }
}

// The free space of a backup root is asked for once per 4 MiB written while
// the disk has room, and for every frame once the reserve is near.
TEST_F(BackupWriterTest, FreeSpaceIsAskedOncePerMegabytesUntilTheReserveIsNear) {
    struct Case {
        const char* name;
        long long free;  // what the file system answers
        int frames;      // of 100 packets (18800 bytes)
        int asked;       // freeSpace calls expected
    };
    const Case cases[] = {
        {"far from the reserve: once per 4 MiB", kReserve + (1LL << 30), 600, 3},
        {"within the margin: every frame", kReserve + (8LL << 20), 20, 20},
    };
    FaultFileSystem& fs = faultyBackupDir(1LL << 30);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs.setFreeSpace(c.free);
        SafePointer<RecordFileInfo> info = description();
        openNew(info);
        fs.clearCalls();
        for (int i = 0; i < c.frames; ++i) {
            TSAVData f = frame(i, 100);
            ASSERT_TRUE(dir->canWrite(&f, 0));
            ASSERT_EQ(kRecordOk, write(f));
            dir->addWrittenSize(f.getDataLength());
        }
        int asked = 0;
        for (const std::string& call : fs.calls()) asked += call.rfind("freeSpace:", 0) == 0;
        EXPECT_EQ(c.asked, asked);
        ASSERT_EQ(kRecordOk, writer->close());
    }
}

}  // namespace
