#include "RecordIndexFile.h"

#include <cstring>
#include <map>
#include <memory>

#include "FileSystem.h"
#include "Logger.h"
#include "RecordFileInfo.h"
#include "RecordName.h"
#include "RecordResult.h"

const char* const RecordIndexFile::kFileName = "record.idx";

namespace {

// File header, then entries: marker, payload length, CRC-32 of the payload,
// payload. All integers little-endian.
const char kHeader[8] = {'R', 'E', 'C', 'I', 'D', 'X', '0', '1'};
const unsigned char kMarker[4] = {'R', 'I', 'E', '1'};
const size_t kEntryHead = 12;
const unsigned int kMaxPayload = RecordIndexFile::kMaxEntryBytes;

enum EntryType : unsigned char { kEntryFile = 1, kEntryNodes = 2, kEntryRemove = 3 };
const size_t kNodeBytes = RecordIndexFile::kNodeBytes;

class Writer {
  public:
    void u8(unsigned v) { m_out.push_back(static_cast<char>(v & 0xff)); }
    void u32(unsigned long v) {
        for (int i = 0; i < 4; ++i) u8(static_cast<unsigned>(v >> (8 * i)));
    }
    void i32(int v) { u32(static_cast<unsigned int>(v)); }
    void i64(long long v) {
        unsigned long long u = static_cast<unsigned long long>(v);
        for (int i = 0; i < 8; ++i) u8(static_cast<unsigned>(u >> (8 * i)));
    }
    void str(const std::string& s) {
        u32(s.size());
        m_out.append(s);
    }
    void node(const RecordIndexNode& n) {
        i32(n.getDataLen());
        i32(n.getTimeLen());
        i32(n.getTimeOffset());
        u8(n.isIFrame() ? 1 : 0);
    }
    std::string& out() { return m_out; }

  private:
    std::string m_out;
};

// Reads a payload; every read checks the bounds, and a failed read leaves
// ok() false for good.
class Reader {
  public:
    Reader(const unsigned char* p, size_t n) : m_p(p), m_n(n) {}
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_pos == m_n; }
    size_t left() const { return m_n - m_pos; }
    unsigned u8() {
        if (!need(1)) return 0;
        return m_p[m_pos++];
    }
    unsigned int u32() {
        if (!need(4)) return 0;
        unsigned int v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<unsigned int>(m_p[m_pos++]) << (8 * i);
        return v;
    }
    int i32() { return static_cast<int>(u32()); }
    long long i64() {
        if (!need(8)) return 0;
        unsigned long long v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<unsigned long long>(m_p[m_pos++]) << (8 * i);
        return static_cast<long long>(v);
    }
    std::string str() {
        unsigned int n = u32();
        if (!need(n)) return std::string();
        std::string s(reinterpret_cast<const char*>(m_p + m_pos), n);
        m_pos += n;
        return s;
    }
    bool nodes(std::vector<RecordIndexNode>& out) {
        unsigned int count = u32();
        if (!m_ok || count > left() / kNodeBytes) return m_ok = false;
        out.reserve(out.size() + count);
        for (unsigned int i = 0; i < count; ++i) {
            int dataLen = i32();
            int timeLen = i32();
            int offset = i32();
            unsigned iFrame = u8();
            if (dataLen < 0 || timeLen < 0 || iFrame > 1) return m_ok = false;
            out.emplace_back(dataLen, timeLen, offset, iFrame == 1);
        }
        return m_ok;
    }

  private:
    bool need(size_t k) {
        if (!m_ok || left() < k) m_ok = false;
        return m_ok;
    }
    const unsigned char* m_p;
    size_t m_n;
    size_t m_pos = 0;
    bool m_ok = true;
};

std::string frame(const std::string& payload) {
    Writer w;
    w.out().append(reinterpret_cast<const char*>(kMarker), sizeof kMarker);
    w.u32(payload.size());
    w.u32(RecordIndexFile::crc32(payload.data(), payload.size()));
    w.out().append(payload);
    return w.out();
}

std::string fileEntry(const RecordIndexEntry& e) {
    Writer w;
    w.u8(kEntryFile);
    w.str(e.fileName);
    w.i64(e.beginTime);
    w.i64(e.endTime);
    w.i32(e.storageType);
    w.i32(e.recordMode);
    w.u8(e.lockFlag ? 1 : 0);
    w.u8(static_cast<unsigned>(e.state));
    w.i32(e.stream.getEncoderType());
    w.i32(e.stream.getImageWidth());
    w.i32(e.stream.getImageHeight());
    w.i32(e.stream.getESStreamType());
    w.i64(e.fileSize);
    w.u32(e.nodes.size());
    for (const RecordIndexNode& n : e.nodes) w.node(n);
    return frame(w.out());
}

void logIndex(const std::string& path, const std::string& what) {
    std::string message = path + ": " + what;
    Logger::writeLog("RecordIndex", message.c_str(), __FILE__, __LINE__);
}

// An entry whose name is not a plain record file name of this day folder
// ("../../x", "a/b.ts", the index itself) would make every reader of the
// index reach outside the folder: it is passed over, and logged once.
bool unsafeName(const std::string& path, const std::string& name) {
    if (RecordName::checkRecordFileName(name) == kRecordOk) return false;
    RecordName::logOnce("RecordIndex", path + '\n' + name,
                        path + ": entry for " + RecordName::printable(name) +
                            " names no file of its own day folder: passed over");
    return true;
}

long long dataSum(const std::vector<RecordIndexNode>& nodes) {
    long long sum = 0;
    for (const RecordIndexNode& n : nodes) sum += n.getDataLen();
    return sum;
}

// Applies one checksummed payload. False when its form is wrong.
bool apply(const std::string& path, const unsigned char* p, size_t n,
           std::vector<RecordIndexEntry>& entries) {
    Reader r(p, n);
    unsigned type = r.u8();
    auto find = [&entries](const std::string& name) -> RecordIndexEntry* {
        for (RecordIndexEntry& e : entries) {
            if (e.fileName == name) return &e;
        }
        return nullptr;
    };
    if (type == kEntryFile) {
        RecordIndexEntry e;
        e.fileName = r.str();
        e.beginTime = r.i64();
        e.endTime = r.i64();
        e.storageType = r.i32();
        e.recordMode = r.i32();
        unsigned lock = r.u8();
        e.lockFlag = lock != 0;
        e.state = static_cast<int>(r.u8());
        e.stream.setEncoderType(r.i32());
        e.stream.setImageWidth(r.i32());
        e.stream.setImageHeight(r.i32());
        e.stream.setESStreamType(r.i32());
        e.fileSize = r.i64();
        r.nodes(e.nodes);
        if (!r.ok() || !r.atEnd() || e.fileName.empty() || lock > 1 || e.state > 2) return false;
        if (e.fileSize != dataSum(e.nodes)) return false;
        if (unsafeName(path, e.fileName)) return true;
        if (RecordIndexEntry* old = find(e.fileName)) {
            *old = std::move(e);
        } else {
            entries.push_back(std::move(e));
        }
        return true;
    }
    if (type == kEntryNodes) {
        std::string name = r.str();
        unsigned int first = r.u32();
        std::vector<RecordIndexNode> nodes;
        r.nodes(nodes);
        if (!r.ok() || !r.atEnd()) return false;
        if (unsafeName(path, name)) return true;
        RecordIndexEntry* e = find(name);
        if (e == nullptr) {
            logIndex(path, "nodes for an unlisted file " + name + " ignored");
            return true;
        }
        if (first != e->nodes.size()) {
            // A run of nodes was lost: the rest would be read at the wrong
            // place in the data file.
            if (e->state != RecordFileInfo::kStateDamaged) {
                logIndex(path, "node gap in " + name + ": file marked damaged");
            }
            e->state = RecordFileInfo::kStateDamaged;
            return true;
        }
        for (const RecordIndexNode& node : nodes) {
            e->nodes.push_back(node);
            e->fileSize += node.getDataLen();
        }
        return true;
    }
    if (type == kEntryRemove) {
        std::string name = r.str();
        if (!r.ok() || !r.atEnd()) return false;
        if (unsafeName(path, name)) return true;
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->fileName == name) {
                entries.erase(it);
                break;
            }
        }
        return true;
    }
    return false;
}

int appendRaw(FileSystem& fs, const std::string& indexPath, const std::string& entry, bool sync) {
    FileStat st;
    const int s = fs.stat(indexPath, st);
    // Only an index that is surely not there yet gets a header.
    if (s != kRecordOk && s != kRecordNotFound) return s;
    const bool fresh = s == kRecordNotFound;
    int fd = -1;
    int r = fs.open(indexPath, FileSystem::kAppend, fd);
    if (r != kRecordOk) return r;
    std::string data;
    if (fresh) data.assign(kHeader, sizeof kHeader);
    data += entry;
    r = fsutil::writeAll(fs, fd, data);
    if (r == kRecordOk && sync) r = fs.fsync(fd);
    int c = fs.close(fd);
    if (r == kRecordOk) r = c;
    if (r == kRecordOk && fresh && sync) r = fs.syncDir(fsutil::dirName(indexPath));
    return r;
}

}  // namespace

unsigned int RecordIndexFile::crc32(const void* data, size_t length) {
    static const auto table = [] {
        std::unique_ptr<unsigned int[]> t(new unsigned int[256]);
        for (unsigned int i = 0; i < 256; ++i) {
            unsigned int c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    const unsigned char* p = static_cast<const unsigned char*>(data);
    unsigned int c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) c = table[(c ^ p[i]) & 0xff] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string RecordIndexFile::pathOf(const std::string& dayDir) {
    return fsutil::join(dayDir, kFileName);
}

std::mutex& RecordIndexFile::lockFor(const std::string& indexPath) {
    static std::mutex mapLock;
    static std::map<std::string, std::unique_ptr<std::mutex>> locks;
    std::lock_guard<std::mutex> guard(mapLock);
    std::unique_ptr<std::mutex>& m = locks[indexPath];
    if (!m) m.reset(new std::mutex);
    return *m;
}

int RecordIndexFile::load(FileSystem& fs, const std::string& indexPath,
                          std::vector<RecordIndexEntry>& out) {
    out.clear();
    std::string data;
    int r = fsutil::readFile(fs, indexPath, data);
    if (r != kRecordOk) return r;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    const size_t n = data.size();
    size_t pos = 0;
    if (n >= sizeof kHeader && std::memcmp(p, kHeader, sizeof kHeader) == 0) {
        pos = sizeof kHeader;
    } else if (n > 0) {
        logIndex(indexPath, "bad header, scanning for entries");
    }
    bool inBadRegion = false;
    auto bad = [&](const char* what, size_t at) {
        if (!inBadRegion) logIndex(indexPath, std::string(what) + " at byte " + std::to_string(at));
        inBadRegion = true;
    };
    while (pos < n) {
        if (n - pos < kEntryHead || std::memcmp(p + pos, kMarker, sizeof kMarker) != 0) {
            if (n - pos < kEntryHead) {
                bad("torn entry skipped", pos);
                break;
            }
            bad("garbage skipped", pos);
            ++pos;
            continue;
        }
        unsigned int len = 0, crc = 0;
        for (int i = 0; i < 4; ++i) len |= static_cast<unsigned int>(p[pos + 4 + i]) << (8 * i);
        for (int i = 0; i < 4; ++i) crc |= static_cast<unsigned int>(p[pos + 8 + i]) << (8 * i);
        if (len > kMaxPayload || len > n - pos - kEntryHead) {
            bad(len > kMaxPayload ? "bad entry length skipped" : "torn entry skipped", pos);
            ++pos;
            continue;
        }
        const unsigned char* payload = p + pos + kEntryHead;
        if (crc32(payload, len) != crc) {
            bad("checksum mismatch, entry skipped", pos);
            ++pos;
            continue;
        }
        if (!apply(indexPath, payload, len, out)) {
            bad("malformed entry skipped", pos);
        } else {
            inBadRegion = false;
        }
        pos += kEntryHead + len;
    }
    return kRecordOk;
}

int RecordIndexFile::appendFile(FileSystem& fs, const std::string& indexPath,
                                const RecordIndexEntry& entry, bool sync) {
    return appendRaw(fs, indexPath, fileEntry(entry), sync);
}

int RecordIndexFile::appendNodes(FileSystem& fs, const std::string& indexPath,
                                 const std::string& fileName, int firstIndex,
                                 const std::vector<RecordIndexNode>& nodes, bool sync) {
    Writer w;
    w.u8(kEntryNodes);
    w.str(fileName);
    w.u32(static_cast<unsigned int>(firstIndex));
    w.u32(nodes.size());
    for (const RecordIndexNode& n : nodes) w.node(n);
    return appendRaw(fs, indexPath, frame(w.out()), sync);
}

int RecordIndexFile::appendRemove(FileSystem& fs, const std::string& indexPath,
                                  const std::string& fileName, bool sync) {
    Writer w;
    w.u8(kEntryRemove);
    w.str(fileName);
    return appendRaw(fs, indexPath, frame(w.out()), sync);
}

int RecordIndexFile::appendRemoves(FileSystem& fs, const std::string& indexPath,
                                   const std::vector<std::string>& fileNames, bool sync) {
    std::string entries;
    for (const std::string& name : fileNames) {
        Writer w;
        w.u8(kEntryRemove);
        w.str(name);
        entries += frame(w.out());
    }
    if (entries.empty()) return kRecordOk;
    return appendRaw(fs, indexPath, entries, sync);
}

int RecordIndexFile::rewrite(FileSystem& fs, const std::string& indexPath,
                             const std::vector<RecordIndexEntry>& entries) {
    std::string data(kHeader, sizeof kHeader);
    for (const RecordIndexEntry& e : entries) data += fileEntry(e);
    return fsutil::writeFileAtomic(fs, indexPath, data);
}
