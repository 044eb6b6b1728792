// The day index parser over arbitrary bytes: RecordIndexFile::load never
// fails on content, everything it gives out is well formed, and what it gives
// out survives a rewrite and a second load unchanged. Each input is read as it
// is and once more with the checksum of every framed entry made right, so that
// the fuzzer reaches the payload parser behind the CRC.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/RecordIndexFile.h"

namespace {

// Just enough of a file system, in memory, for load() and rewrite(). Like a
// real one, a new file gets an inode number of its own, kept by a rename.
class MemoryFileSystem : public FileSystem {
  public:
    std::map<std::string, std::string> files;

    int open(const std::string& path, int mode, int& fd) override {
        if (mode == kRead && files.count(path) == 0) return kRecordNotFound;
        if (mode == kCreateTrunc || mode == kCreateNew) {
            if (files.count(path) == 0) m_inodes[path] = ++m_lastInode;
            files[path].clear();
        }
        fd = m_next++;
        m_open[fd] = Open{path, 0};
        return kRecordOk;
    }
    int read(int fd, char* buffer, int count) override {
        Open& o = m_open.at(fd);
        const std::string& data = files[o.path];
        const size_t n = std::min(static_cast<size_t>(count), data.size() - o.pos);
        std::memcpy(buffer, data.data() + o.pos, n);
        o.pos += n;
        return static_cast<int>(n);
    }
    int readAt(int fd, char* buffer, int count, long long offset) override {
        const std::string& data = files[m_open.at(fd).path];
        const size_t at = std::min(static_cast<size_t>(offset), data.size());
        const size_t n = std::min(static_cast<size_t>(count), data.size() - at);
        std::memcpy(buffer, data.data() + at, n);
        return static_cast<int>(n);
    }
    int write(int fd, const char* buffer, int count) override {
        files[m_open.at(fd).path].append(buffer, static_cast<size_t>(count));
        return count;
    }
    int fsync(int) override { return kRecordOk; }
    int startWriteback(int, long long, long long) override { return kRecordOk; }
    int truncate(int fd, long long size) override {
        files[m_open.at(fd).path].resize(static_cast<size_t>(size));
        return kRecordOk;
    }
    int close(int fd) override { return m_open.erase(fd) == 1 ? kRecordOk : kRecordIOError; }
    int rename(const std::string& from, const std::string& to) override {
        auto it = files.find(from);
        if (it == files.end()) return kRecordNotFound;
        files[to] = std::move(it->second);
        files.erase(from);
        m_inodes[to] = m_inodes[from];
        m_inodes.erase(from);
        return kRecordOk;
    }
    int unlink(const std::string& path) override {
        m_inodes.erase(path);
        return files.erase(path) == 1 ? kRecordOk : kRecordNotFound;
    }
    int mkdir(const std::string&) override { return kRecordExists; }
    int list(const std::string&, std::vector<std::string>& names) override {
        names.clear();
        return kRecordOk;
    }
    int stat(const std::string& path, FileStat& st) override {
        auto it = files.find(path);
        if (it == files.end()) return kRecordNotFound;
        st = FileStat();
        st.size = static_cast<long long>(it->second.size());
        st.inode = m_inodes[path];
        return kRecordOk;
    }
    int freeSpace(const std::string&, long long& bytes) override {
        bytes = 1LL << 40;
        return kRecordOk;
    }
    int syncDir(const std::string&) override { return kRecordOk; }

  private:
    struct Open {
        std::string path;
        size_t pos;
    };
    std::map<int, Open> m_open;
    std::map<std::string, unsigned long long> m_inodes;
    unsigned long long m_lastInode = 0;
    int m_next = 3;
};

const char kPath[] = "/day/record.idx";

unsigned int le32(const std::string& s, size_t at) {
    unsigned int v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<unsigned int>(static_cast<unsigned char>(s[at + i])) << (8 * i);
    return v;
}

// Every "RIE1" marker whose length fits gets the right CRC of its payload.
std::string withChecksums(std::string s) {
    for (size_t at = s.find("RIE1"); at != std::string::npos && at + 12 <= s.size();
         at = s.find("RIE1", at + 1)) {
        const unsigned int len = le32(s, at + 4);
        if (len > s.size() - at - 12) continue;
        const unsigned int crc = RecordIndexFile::crc32(s.data() + at + 12, len);
        for (int i = 0; i < 4; ++i) s[at + 8 + i] = static_cast<char>((crc >> (8 * i)) & 0xff);
    }
    return s;
}

std::string describe(const std::vector<RecordIndexEntry>& entries) {
    std::string out;
    for (const RecordIndexEntry& e : entries) {
        out += e.fileName + "|" + std::to_string(e.beginTime) + "|" + std::to_string(e.endTime) +
               "|" + std::to_string(e.storageType) + "|" + std::to_string(e.recordMode) + "|" +
               std::to_string(e.lockFlag) + "|" + std::to_string(e.state) + "|" +
               std::to_string(e.stream.getEncoderType()) + "|" +
               std::to_string(e.stream.getImageWidth()) + "|" +
               std::to_string(e.stream.getImageHeight()) + "|" +
               std::to_string(e.stream.getESStreamType()) + "|" + std::to_string(e.fileSize);
        for (const RecordIndexNode& n : e.nodes) {
            out += "," + std::to_string(n.getDataLen()) + "/" + std::to_string(n.getTimeLen()) +
                   "/" + std::to_string(n.getTimeOffset()) + "/" + std::to_string(n.isIFrame());
        }
        out += "\n";
    }
    return out;
}

// The summaries kept of the index, with their nodes read back, as entries.
std::vector<RecordIndexEntry> summarised(MemoryFileSystem& fs) {
    std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(kPath));
    const std::vector<RecordIndexSummary>* files = nullptr;
    FUZZ_CHECK(RecordIndexFile::summaries(fs, kPath, files) == kRecordOk);
    std::vector<RecordIndexEntry> out;
    for (const RecordIndexSummary& f : *files) {
        RecordIndexEntry e;
        e.fileName = f.fileName;
        e.beginTime = f.beginTime;
        e.endTime = f.endTime;
        e.storageType = f.storageType;
        e.recordMode = f.recordMode;
        e.lockFlag = f.lockFlag;
        e.state = f.state;
        e.stream = f.stream;
        e.fileSize = f.fileSize;
        FUZZ_CHECK(RecordIndexFile::readNodes(fs, kPath, f, e.nodes) == kRecordOk);
        FUZZ_CHECK(f.nodeCount == 0 || f.firstNodeKey == e.nodes.front().isIFrame());
        out.push_back(std::move(e));
    }
    return out;
}

void check(const std::string& bytes) {
    MemoryFileSystem fs;
    // The kept summaries follow the file as it grows: first a part of it,
    // then all of it (as if appended), must give what load() gives.
    RecordIndexFile::forgetSummaries();
    fs.files[kPath] = bytes.substr(
        0, bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) * bytes.size() / 256);
    (void)summarised(fs);
    fs.files[kPath] = bytes;
    std::vector<RecordIndexEntry> entries;
    FUZZ_CHECK(RecordIndexFile::load(fs, kPath, entries) == kRecordOk);
    FUZZ_CHECK(describe(summarised(fs)) == describe(entries));
    for (const RecordIndexEntry& e : entries) {
        FUZZ_CHECK(!e.fileName.empty());
        FUZZ_CHECK(e.state >= 0 && e.state <= 2);
        long long sum = 0;
        for (const RecordIndexNode& n : e.nodes) {
            FUZZ_CHECK(n.getDataLen() >= 0 && n.getTimeLen() >= 0);
            sum += n.getDataLen();
        }
        FUZZ_CHECK(sum == e.fileSize);
        for (const RecordIndexEntry& other : entries) {
            FUZZ_CHECK(&other == &e || other.fileName != e.fileName);
        }
    }
    // What was read back is written the way the parser's close() writes it,
    // and reads back the same.
    FUZZ_CHECK(RecordIndexFile::rewrite(fs, kPath, entries) == kRecordOk);
    std::vector<RecordIndexEntry> again;
    FUZZ_CHECK(RecordIndexFile::load(fs, kPath, again) == kRecordOk);
    FUZZ_CHECK(describe(entries) == describe(again));
    // A file replaced by another is read anew.
    FUZZ_CHECK(describe(summarised(fs)) == describe(again));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    const std::string fixed = withChecksums(bytes);
    if (fixed != bytes) check(fixed);
    return 0;
}
