#ifndef RECORDLIB_RECORDFILEWRITER_H
#define RECORDLIB_RECORDFILEWRITER_H

#include <string>

#include "RecordFileInfo.h"
#include "RecordLibExport.h"
#include "store/RecordIndexFile.h"

class FileSystem;

// Writes one record file (<root>/record/<device dir>/<date>/<name>.ts) and
// keeps its entry in the day index. Shared by the recorder and the backup
// writer. Used by one thread at a time; the day index itself is guarded by
// its per-file lock.
//
// Life: create() -> append()* -> finish() (or abandon()). After a failed
// append the file is broken: further appends fail with kRecordIOError, and
// finish() still completes the file with the nodes written before.
class RECORDLIB_EXPORT RecordFileWriter {
  public:
    explicit RecordFileWriter(FileSystem& fs) : m_fs(fs) {}
    ~RecordFileWriter() { abandon(); }
    RecordFileWriter(const RecordFileWriter&) = delete;
    RecordFileWriter& operator=(const RecordFileWriter&) = delete;

    // Creates the data file for `info` (directory, device, camera, begin
    // time, stream description, storage type, record mode and lock flag set by
    // the caller) and lists it in the day index as being recorded. Sets the
    // record date (when empty), the file name and the state of `info`.
    // The root folder must exist: it is never created (kRecordNoDir). A
    // device id, IP or date that is not a plain folder name (RecordName) is
    // refused with kRecordBadName before anything is touched.
    // Answers 0, kRecordNoDir, kRecordBadName, or an I/O code.
    [[nodiscard]] int create(RecordFileInfo& info);

    // Appends one node's data. With `indexNow` the node goes into the day
    // index at once (the recorder, so that a reader sees the file grow);
    // otherwise the nodes are listed by finish(). Answers 0 or an I/O code
    // (kRecordNoSpace when the disk is full).
    [[nodiscard]] int append(const char* data, int length, const RecordIndexNode& node,
                             bool indexNow);

    // Makes everything appended so far durable and findable without closing
    // the file: data fsynced, the folder fsynced the first time (the file's
    // name), then the nodes not yet in the day index appended and the index
    // fsynced. A crash afterwards leaves the file "being recorded" with these
    // nodes listed; recovery cuts it back to them. Answers 0 or a code.
    [[nodiscard]] int checkpoint();

    // Starts writing what was appended since the last call to the disk, so
    // that the next checkpoint or finish waits for less. Makes nothing
    // durable.
    void startWriteback();

    // Completes the file: data fsynced, folder fsynced, then the complete
    // index entry appended and fsynced; durable when it answers 0. A file
    // without a node is removed with its entry instead. Answers 0 or a code.
    [[nodiscard]] int finish();

    // Drops an open file without completing it: its entry stays "being
    // recorded", so it is never given out.
    void abandon();

    bool isOpen() const { return m_fd >= 0; }
    bool isBroken() const { return m_broken; }
    long long size() const { return m_entry.fileSize; }
    int nodeCount() const { return static_cast<int>(m_entry.nodes.size()); }
    const RecordIndexEntry& entry() const { return m_entry; }
    const std::string& path() const { return m_path; }

    // The stream time, in seconds, at which a new file's first frame is
    // placed, so that its first PCR and DTS stay clear of 0.
    static const int kStartSeconds = 10;
    // Nodes a new file has room for before its node list grows.
    static const int kReservedNodes = 1024;

  private:
    FileSystem& m_fs;
    int m_fd = -1;
    bool m_broken = false;
    bool m_nameDurable = false;   // the data file's name is durable in its folder
    int m_indexedNodes = 0;       // nodes listed in the day index
    long long m_writtenBack = 0;  // bytes whose writeback was started
    std::string m_path;
    std::string m_indexPath;
    RecordIndexEntry m_entry;
};

#endif  // RECORDLIB_RECORDFILEWRITER_H
