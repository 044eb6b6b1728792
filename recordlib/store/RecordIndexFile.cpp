#include "store/RecordIndexFile.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <memory>

#include "Logger.h"
#include "RecordFileInfo.h"
#include "RecordResult.h"
#include "WakeEvent.h"
#include "store/FileSystem.h"
#include "store/RecordName.h"

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
    // One node: data length, time length, time offset, key-frame flag.
    // Refuses (and stops the reader) a negative length or a flag other than
    // 0 or 1.
    bool node(RecordIndexNode& out) {
        const int dataLen = i32();
        const int timeLen = i32();
        const int offset = i32();
        const unsigned iFrame = u8();
        if (!m_ok || dataLen < 0 || timeLen < 0 || iFrame > 1) return m_ok = false;
        out = RecordIndexNode(dataLen, timeLen, offset, iFrame == 1);
        return true;
    }
    bool nodes(std::vector<RecordIndexNode>& out) {
        unsigned int count = u32();
        if (!m_ok || count > left() / kNodeBytes) return m_ok = false;
        out.reserve(out.size() + count);
        RecordIndexNode n;
        for (unsigned int i = 0; i < count; ++i) {
            if (!node(n)) return false;
            out.push_back(n);
        }
        return true;
    }

    // Like nodes(), but keeps only what a summary needs: the count, the sum
    // of the data lengths, the key-frame flag of the first node and the
    // position of the first node in the payload.
    bool skipNodes(unsigned int& count, long long& dataSum, bool& firstKey, size_t& at) {
        count = u32();
        if (!m_ok || count > left() / kNodeBytes) return m_ok = false;
        at = m_pos;
        dataSum = 0;
        RecordIndexNode n;
        for (unsigned int i = 0; i < count; ++i) {
            if (!node(n)) return false;
            if (i == 0) firstKey = n.isIFrame();
            dataSum += n.getDataLen();
        }
        return true;
    }

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

// One run of nodes read from a payload, as each kind of entry keeps it: a
// full entry keeps the nodes, a summary only where they lie in the file.
template <class E>
struct NodeRun;

template <>
struct NodeRun<RecordIndexEntry> {
    std::vector<RecordIndexNode> nodes;
    long long sum = 0;

    void read(Reader& r, size_t) {
        r.nodes(nodes);
        for (const RecordIndexNode& n : nodes) sum += n.getDataLen();
    }
    static unsigned int countOf(const RecordIndexEntry& e) {
        return static_cast<unsigned int>(e.nodes.size());
    }
    void appendTo(RecordIndexEntry& e) {
        if (e.nodes.empty()) {
            e.nodes.swap(nodes);  // the common case: the entry's first run
        } else {
            e.nodes.insert(e.nodes.end(), nodes.begin(), nodes.end());
        }
        e.fileSize += sum;
    }
};

template <>
struct NodeRun<RecordIndexSummary> {
    unsigned int count = 0;
    long long sum = 0;
    bool firstKey = false;
    size_t at = 0;  // position of the first node in the index file

    void read(Reader& r, size_t payloadAt) {
        size_t first = 0;
        r.skipNodes(count, sum, firstKey, first);
        at = payloadAt + first;
    }
    static unsigned int countOf(const RecordIndexSummary& e) {
        return static_cast<unsigned int>(e.nodeCount);
    }
    void appendTo(RecordIndexSummary& e) {
        if (count == 0) return;
        if (e.nodeCount == 0) e.firstNodeKey = firstKey;
        e.nodeRuns.emplace_back(static_cast<long long>(at), static_cast<int>(count));
        e.nodeCount += static_cast<int>(count);
        e.fileSize += sum;
    }
};

// Applies one checksummed payload to the files of an index (full entries for
// load(), summaries for the query). False when its form is wrong. `at` is the
// payload's position in the index file.
template <class E>
bool apply(const std::string& path, const unsigned char* p, size_t n, size_t at,
           std::vector<E>& files) {
    Reader r(p, n);
    unsigned type = r.u8();
    auto find = [&files](const std::string& name) -> E* {
        for (E& f : files) {
            if (f.fileName == name) return &f;
        }
        return nullptr;
    };
    if (type == kEntryFile) {
        E e;
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
        const long long fileSize = r.i64();
        NodeRun<E> run;
        run.read(r, at);
        if (!r.ok() || !r.atEnd() || e.fileName.empty() || lock > 1 || e.state > 2) return false;
        if (fileSize != run.sum) return false;
        if (unsafeName(path, e.fileName)) return true;
        run.appendTo(e);
        if (E* old = find(e.fileName)) {
            *old = std::move(e);
        } else {
            files.push_back(std::move(e));
        }
        return true;
    }
    if (type == kEntryNodes) {
        std::string name = r.str();
        unsigned int first = r.u32();
        NodeRun<E> run;
        run.read(r, at);
        if (!r.ok() || !r.atEnd()) return false;
        if (unsafeName(path, name)) return true;
        E* e = find(name);
        if (e == nullptr) {
            logIndex(path, "nodes for an unlisted file " + name + " ignored");
            return true;
        }
        if (first != NodeRun<E>::countOf(*e)) {
            // A run of nodes was lost: the rest would be read at the wrong
            // place in the data file.
            if (e->state != RecordFileInfo::kStateDamaged) {
                logIndex(path, "node gap in " + name + ": file marked damaged");
            }
            e->state = RecordFileInfo::kStateDamaged;
            return true;
        }
        run.appendTo(*e);
        return true;
    }
    if (type == kEntryRemove) {
        std::string name = r.str();
        if (!r.ok() || !r.atEnd()) return false;
        if (unsafeName(path, name)) return true;
        for (auto it = files.begin(); it != files.end(); ++it) {
            if (it->fileName == name) {
                files.erase(it);
                break;
            }
        }
        return true;
    }
    return false;
}

// Walks the framed entries of the index bytes [pos, end) (`p` points at the
// byte at `origin`), as load() reads them: `apply(payload, length, at)` for
// every entry whose checksum is right (`at`: the payload's position in the
// file; false when its form is wrong), and the "RecordIndex" log line for the
// first bad spot of every bad region. With `stopAtTail` the walk stops where
// the decision would depend on bytes not yet in the file (an entry that may be
// still being appended), so that what it has passed stays right when more is
// appended. Answers the position reached.
template <class Apply>
size_t walkEntries(const std::string& path, const unsigned char* p, size_t origin, size_t pos,
                   size_t end, bool stopAtTail, bool& inBadRegion, Apply apply) {
    auto bad = [&](const char* what, size_t at) {
        if (!inBadRegion) logIndex(path, std::string(what) + " at byte " + std::to_string(at));
        inBadRegion = true;
    };
    auto byteAt = [p, origin](size_t offset) { return p + (offset - origin); };
    while (pos < end) {
        if (end - pos < kEntryHead) {
            if (stopAtTail) break;
            bad("torn entry skipped", pos);
            break;
        }
        if (std::memcmp(byteAt(pos), kMarker, sizeof kMarker) != 0) {
            bad("garbage skipped", pos);
            ++pos;
            continue;
        }
        unsigned int len = 0, crc = 0;
        for (int i = 0; i < 4; ++i) len |= static_cast<unsigned int>(byteAt(pos)[4 + i]) << (8 * i);
        for (int i = 0; i < 4; ++i) crc |= static_cast<unsigned int>(byteAt(pos)[8 + i]) << (8 * i);
        if (len > kMaxPayload) {
            bad("bad entry length skipped", pos);
            ++pos;
            continue;
        }
        if (len > end - pos - kEntryHead) {
            if (stopAtTail) break;
            bad("torn entry skipped", pos);
            ++pos;
            continue;
        }
        const unsigned char* payload = byteAt(pos) + kEntryHead;
        if (RecordIndexFile::crc32(payload, len) != crc) {
            bad("checksum mismatch, entry skipped", pos);
            ++pos;
            continue;
        }
        if (!apply(payload, len, pos + kEntryHead)) {
            bad("malformed entry skipped", pos);
        } else {
            inBadRegion = false;
        }
        pos += kEntryHead + len;
    }
    return pos;
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
    return static_cast<unsigned int>(::crc32_z(0, static_cast<const unsigned char*>(data), length));
}

std::string RecordIndexFile::pathOf(const std::string& dayDir) {
    return fsutil::join(dayDir, kFileName);
}

namespace {

// What the process keeps of one index file: its lock, and the summaries of
// its files as far as the file has been read.
struct IndexState {
    FileSystem* fs = nullptr;  // the file system it was read through
    unsigned long long device = 0;
    unsigned long long inode = 0;
    // The file as it was when last read: one whose identity, size and time
    // stamp are all the same again was not written since.
    long long size = -1;
    long long mtimeSeconds = 0;
    long mtimeNanos = 0;
    size_t parsed = 0;     // bytes walked; what lies before is decided for good
    bool started = false;  // the header has been looked at
    bool inBadRegion = false;
    // The header or the head of the last entry walked, and where it lies: a
    // file whose bytes there differ is another file (rewritten, restored).
    size_t markAt = 0;
    std::string mark;
    std::vector<RecordIndexSummary> files;
    // While the file ends in an entry that may still be being appended: the
    // summaries as load() gives them now, tail included.
    std::vector<RecordIndexSummary> withTail;

    void forget() {
        fs = nullptr;
        size = -1;
        parsed = 0;
        started = false;
        inBadRegion = false;
        mark.clear();
        std::vector<RecordIndexSummary>().swap(files);
        std::vector<RecordIndexSummary>().swap(withTail);
    }
};

struct IndexSlot {
    std::mutex lock;   // RecordIndexFile::lockFor
    IndexState state;  // guarded by lock
    std::list<IndexSlot*>::iterator lru;
    bool kept = false;  // guarded by the registry's lock: in the LRU list
};

// At most this many indexes keep their summaries (the least recently used
// forget theirs): one or two day indexes per camera are in use at a time.
const size_t kKeptIndexes = 128;
// A thread keeps its read buffer up to this size between reads.
const size_t kKeptBufferBytes = 1 << 20;

struct IndexRegistry {
    std::mutex lock;
    std::map<std::string, std::unique_ptr<IndexSlot>> slots;  // guarded by lock; never erased
    std::list<IndexSlot*> lru;                                // guarded by lock; most recent first
};

IndexRegistry& registry() {
    static IndexRegistry* r = new IndexRegistry;  // used until the process ends
    return *r;
}

IndexSlot& slotFor(const std::string& indexPath) {
    IndexRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    std::unique_ptr<IndexSlot>& slot = r.slots[indexPath];
    if (!slot) slot.reset(new IndexSlot);
    return *slot;
}

// Marks `slot` (whose lock the caller holds) as used now; other slots over
// the limit forget their summaries, unless someone holds their lock.
void touch(IndexSlot& slot) {
    IndexRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (slot.kept) {
        r.lru.splice(r.lru.begin(), r.lru, slot.lru);
    } else {
        r.lru.push_front(&slot);
        slot.lru = r.lru.begin();
        slot.kept = true;
    }
    auto it = r.lru.end();
    while (r.lru.size() > kKeptIndexes && it != r.lru.begin()) {
        --it;
        IndexSlot* victim = *it;
        if (victim == &slot || !victim->lock.try_lock()) continue;
        victim->state.forget();
        victim->kept = false;
        victim->lock.unlock();
        it = r.lru.erase(it);
    }
}

// Reads exactly `count` bytes at `offset` into `out`. False on a short read.
int readExactly(FileSystem& fs, int fd, long long offset, size_t count, std::string& out) {
    out.resize(count);
    size_t done = 0;
    while (done < count) {
        const int chunk = static_cast<int>(std::min<size_t>(count - done, 1u << 20));
        const int n = fs.readAt(fd, &out[done], chunk, offset + static_cast<long long>(done));
        if (n < 0) return n;
        if (n == 0) return kRecordCorrupt;
        done += static_cast<size_t>(n);
    }
    return kRecordOk;
}

// Brings the summaries of one index up to date. REQUIRES: the slot's lock.
int refresh(FileSystem& fs, const std::string& indexPath, IndexState& st,
            const std::vector<RecordIndexSummary>*& out) {
    FileStat info;
    int r = fs.stat(indexPath, info);
    if (r != kRecordOk) {
        st.forget();
        return r;
    }
    const size_t size = static_cast<size_t>(info.size);
    if (st.fs == &fs && st.device == info.device && st.inode == info.inode &&
        st.size == info.size && st.mtimeSeconds == info.mtimeSeconds &&
        st.mtimeNanos == info.mtimeNanos && info.mtimeSeconds != 0) {
        // Unchanged since the last read (an index only grows, or is replaced
        // by another file): nothing to read.
        out = st.parsed == size ? &st.files : &st.withTail;
        return kRecordOk;
    }
    int fd = -1;
    r = fs.open(indexPath, FileSystem::kRead, fd);
    if (r != kRecordOk) {
        st.forget();
        return r;
    }
    // Reused by the thread: a refresh reads only what was appended.
    static thread_local std::string buffer;
    bool same =
        st.fs == &fs && st.device == info.device && st.inode == info.inode && size >= st.parsed;
    if (same && !st.mark.empty()) {
        r = readExactly(fs, fd, static_cast<long long>(st.markAt), st.mark.size(), buffer);
        same = r == kRecordOk && buffer == st.mark;
    }
    if (!same) {
        st.forget();
        st.fs = &fs;
        st.device = info.device;
        st.inode = info.inode;
    }
    r = readExactly(fs, fd, static_cast<long long>(st.parsed), size - st.parsed, buffer);
    fs.close(fd);
    if (r != kRecordOk) {
        st.forget();
        return r;
    }
    st.size = info.size;
    st.mtimeSeconds = info.mtimeSeconds;
    st.mtimeNanos = info.mtimeNanos;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buffer.data());
    const size_t origin = st.parsed;
    if (!st.started && size >= sizeof kHeader) {
        st.started = true;
        if (std::memcmp(p, kHeader, sizeof kHeader) == 0) {
            st.parsed = sizeof kHeader;
            st.markAt = 0;
            st.mark.assign(kHeader, sizeof kHeader);
        } else {
            logIndex(indexPath, "bad header, scanning for entries");
        }
    }
    if (st.started) {
        st.parsed = walkEntries(
            indexPath, p, origin, st.parsed, size, true, st.inBadRegion,
            [&](const unsigned char* payload, size_t len, size_t at) {
                st.markAt = at - kEntryHead;
                st.mark.assign(reinterpret_cast<const char*>(payload) - kEntryHead, kEntryHead);
                return apply(indexPath, payload, len, at, st.files);
            });
    }
    if (st.parsed == size) {
        if (buffer.capacity() > kKeptBufferBytes) std::string().swap(buffer);
        st.withTail.clear();
        out = &st.files;
        return kRecordOk;
    }
    // The file ends in an entry that may still be being written (or in one
    // that a crash tore): what load() would make of it now.
    st.withTail = st.files;
    bool inBadRegion = st.inBadRegion;
    size_t pos = st.parsed;
    if (!st.started) {
        logIndex(indexPath, "bad header, scanning for entries");
        pos = 0;
    }
    walkEntries(indexPath, p, origin, pos, size, false, inBadRegion,
                [&](const unsigned char* payload, size_t len, size_t at) {
                    return apply(indexPath, payload, len, at, st.withTail);
                });
    if (buffer.capacity() > kKeptBufferBytes) std::string().swap(buffer);
    out = &st.withTail;
    return kRecordOk;
}

}  // namespace

std::mutex& RecordIndexFile::lockFor(const std::string& indexPath) {
    return slotFor(indexPath).lock;
}

int RecordIndexFile::summaries(FileSystem& fs, const std::string& indexPath,
                               const std::vector<RecordIndexSummary>*& out) {
    IndexSlot& slot = slotFor(indexPath);
    touch(slot);
    return refresh(fs, indexPath, slot.state, out);
}

int RecordIndexFile::readNodes(FileSystem& fs, const std::string& indexPath,
                               const RecordIndexSummary& file,
                               std::vector<RecordIndexNode>& nodes) {
    nodes.clear();
    if (file.nodeCount == 0) return kRecordOk;
    int fd = -1;
    int r = fs.open(indexPath, FileSystem::kRead, fd);
    if (r != kRecordOk) return r;
    nodes.reserve(static_cast<size_t>(file.nodeCount));
    static thread_local std::string buffer;
    long long sum = 0;
    for (const std::pair<long long, int>& run : file.nodeRuns) {
        r = readExactly(fs, fd, run.first, static_cast<size_t>(run.second) * kNodeBytes, buffer);
        if (r != kRecordOk) break;
        // The count is re-read as the run's own: the bytes are those walked
        // when the summary was made, unless the file changed meanwhile.
        Reader reader(reinterpret_cast<const unsigned char*>(buffer.data()), buffer.size());
        RecordIndexNode n;
        for (int i = 0; i < run.second && r == kRecordOk; ++i) {
            if (!reader.node(n)) {
                r = kRecordCorrupt;
            } else {
                nodes.push_back(n);
                sum += n.getDataLen();
            }
        }
        if (r != kRecordOk) break;
    }
    fs.close(fd);
    if (r == kRecordOk &&
        (static_cast<int>(nodes.size()) != file.nodeCount || sum != file.fileSize)) {
        r = kRecordCorrupt;
    }
    if (r != kRecordOk) nodes.clear();
    return r;
}

void RecordIndexFile::forgetSummaries() {
    IndexRegistry& r = registry();
    std::list<IndexSlot*> kept;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        for (IndexSlot* slot : r.lru) slot->kept = false;
        kept.swap(r.lru);
    }
    // A slot's lock is never taken while the registry's lock is held.
    for (IndexSlot* slot : kept) {
        std::lock_guard<std::mutex> guard(slot->lock);
        slot->state.forget();
    }
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
    walkEntries(indexPath, p, 0, pos, n, false, inBadRegion,
                [&](const unsigned char* payload, size_t len, size_t at) {
                    return apply(indexPath, payload, len, at, out);
                });
    return kRecordOk;
}

int RecordIndexFile::appendFile(FileSystem& fs, const std::string& indexPath,
                                const RecordIndexEntry& entry, bool sync) {
    const int r = appendRaw(fs, indexPath, fileEntry(entry), sync);
    // A completed file is new work for a job that waits for one.
    if (r == kRecordOk && entry.state == RecordFileInfo::kStateComplete) WakeEvent::work().notify();
    return r;
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
