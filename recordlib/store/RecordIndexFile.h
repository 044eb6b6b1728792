#ifndef RECORDLIB_RECORDINDEXFILE_H
#define RECORDLIB_RECORDINDEXFILE_H

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "AVStreamInfo.h"
#include "RecordIndexNode.h"
#include "RecordLibExport.h"

class FileSystem;

// One record file as its day index lists it.
struct RecordIndexEntry {
    std::string fileName;     // name inside the day folder
    long long beginTime = 0;  // ms since the epoch
    long long endTime = 0;    // ms since the epoch
    int storageType = 1;
    int recordMode = 0;
    bool lockFlag = false;
    int state = 0;  // RecordFileInfo::kStateRecording / kStateComplete / kStateDamaged
    AVStreamInfo stream;
    long long fileSize = 0;  // sum of the nodes' data lengths
    std::vector<RecordIndexNode> nodes;
};

// A file as its day index lists it, without its nodes: what the record query
// needs, and where the nodes are to be read (RecordIndexFile::readNodes).
struct RecordIndexSummary {
    std::string fileName;
    long long beginTime = 0;
    long long endTime = 0;
    int storageType = 1;
    int recordMode = 0;
    bool lockFlag = false;
    int state = 0;
    AVStreamInfo stream;
    long long fileSize = 0;
    int nodeCount = 0;
    bool firstNodeKey = false;  // the first node is a key frame (when there is one)
    // The node runs in the index file: position of the first node, count.
    std::vector<std::pair<long long, int>> nodeRuns;
};

// The index file of one device and day (<day folder>/record.idx): a log of
// checksummed entries (see recordlib/README.md for the layout).
//
// - Appends add one entry with one write() (a file described or replaced, a
//   run of nodes, a removal).
// - load() replays the log; an entry whose checksum or form is wrong, or that
//   is cut short, is logged and skipped, and reading resumes at the next
//   entry marker. A file whose node runs have a gap is marked damaged. An
//   entry whose name is no record file of this day folder ("../x",
//   "a/b.ts", "record.idx", see RecordName) is passed over and logged once.
// - rewrite() replaces the whole index atomically with one entry per file.
//
// Thread safety: callers hold lockFor(path) around every load/summaries/
// append/rewrite of one index, so that the recorder, the backup writers and
// the retrievers of one process never see or produce a half-edited index;
// the summaries kept of an index are guarded by that same lock.
class RECORDLIB_EXPORT RecordIndexFile {
  public:
    static const char* const kFileName;
    // The largest entry payload load() accepts, and the size of one node in it.
    static constexpr unsigned int kMaxEntryBytes = 64u << 20;
    static constexpr unsigned int kNodeBytes = 13;

    // The index path of a day folder.
    static std::string pathOf(const std::string& dayDir);
    // The process-wide lock of one index file (one per path, never freed).
    static std::mutex& lockFor(const std::string& indexPath);

    // Replays the index into `out` (in order of first appearance). Answers 0,
    // kRecordNotFound when there is no index, or an I/O code.
    // REQUIRES: lockFor(indexPath) held.
    [[nodiscard]] static int load(FileSystem& fs, const std::string& indexPath,
                                  std::vector<RecordIndexEntry>& out);
    // The files the index lists, without their nodes, as load() gives them
    // and in the same order. The process keeps them per index: a call reads
    // only what was appended to the file since the last one, after checking
    // that it is still the same file (device, inode, size, and the bytes of
    // the last entry read), and reads the whole file again when it is not.
    // An entry that may still be being appended at the end is read as load()
    // reads it, and again by the next call. `out` stays valid while the
    // caller holds the lock. Answers 0, kRecordNotFound when there is no
    // index, or an I/O code. REQUIRES: lockFor(indexPath) held.
    [[nodiscard]] static int summaries(FileSystem& fs, const std::string& indexPath,
                                       const std::vector<RecordIndexSummary>*& out);
    // Reads the nodes of `file`, a summary given by summaries() under the same
    // hold of the lock, into `nodes` (replaced; its capacity is reused).
    // Answers 0, kRecordCorrupt when they are not what the summary says, or an
    // I/O code. REQUIRES: lockFor(indexPath) held.
    [[nodiscard]] static int readNodes(FileSystem& fs, const std::string& indexPath,
                                       const RecordIndexSummary& file,
                                       std::vector<RecordIndexNode>& nodes);
    // Forgets what the process keeps of every index (the next summaries()
    // reads each file whole), as a new process would start.
    static void forgetSummaries();

    // Appends a full description of a file (it replaces an earlier one of the
    // same name). With `sync` the entry is durable when this answers 0.
    // REQUIRES: lockFor(indexPath) held; the day folder exists.
    [[nodiscard]] static int appendFile(FileSystem& fs, const std::string& indexPath,
                                        const RecordIndexEntry& entry, bool sync);
    // Appends nodes to a listed file; `firstIndex` is the position of the
    // first of them in the file's node list.
    [[nodiscard]] static int appendNodes(FileSystem& fs, const std::string& indexPath,
                                         const std::string& fileName, int firstIndex,
                                         const std::vector<RecordIndexNode>& nodes, bool sync);
    // Appends the removal of a file's entry.
    [[nodiscard]] static int appendRemove(FileSystem& fs, const std::string& indexPath,
                                          const std::string& fileName, bool sync);
    // Appends the removal of several files' entries with one write.
    [[nodiscard]] static int appendRemoves(FileSystem& fs, const std::string& indexPath,
                                           const std::vector<std::string>& fileNames, bool sync);
    // Replaces the index by exactly `entries` (temporary file, fsync, rename,
    // fsync of the folder).
    [[nodiscard]] static int rewrite(FileSystem& fs, const std::string& indexPath,
                                     const std::vector<RecordIndexEntry>& entries);

    // CRC-32 (IEEE 802.3, zlib's crc32), as every entry carries.
    static unsigned int crc32(const void* data, size_t length);
};

#endif  // RECORDLIB_RECORDINDEXFILE_H
