#ifndef RECORDLIB_RECORDDIRINFOEX_H
#define RECORDLIB_RECORDDIRINFOEX_H

#include <string>

// One record directory (a record disk or a folder of one).
//
// Attribute: 4 a local record directory (the recorder records into it),
//            8 a backup directory (backup files are created in it).
// Disk type: 1 local disk, 2 removable disk, 3 network disk.
// File-system format: 0 raw (pre-allocated segments), 1 a file system.
// File segment size: the largest size of one record file, in bytes.
class RecordDirInfoEx {
  public:
    enum { kAttributeLocal = 4, kAttributeBackup = 8 };

    RecordDirInfoEx() = default;

    const std::string& getRecordRootDir() const { return m_rootDir; }
    void setRecordRootDir(const std::string& dir) { m_rootDir = dir; }
    int getDiskType() const { return m_diskType; }
    void setDiskType(int t) { m_diskType = t; }
    int getFileSystemFormat() const { return m_fileSystemFormat; }
    void setFileSystemFormat(int f) { m_fileSystemFormat = f; }
    long long getFileSegmentSize() const { return m_fileSegmentSize; }
    void setFileSegmentSize(long long s) { m_fileSegmentSize = s; }
    int getGroupId() const { return m_groupId; }
    void setGroupId(int g) { m_groupId = g; }
    int getAttribute() const { return m_attribute; }
    void setAttribute(int a) { m_attribute = a; }

  private:
    std::string m_rootDir;
    int m_diskType = 0;
    int m_fileSystemFormat = 0;
    long long m_fileSegmentSize = 0;
    int m_groupId = 0;
    int m_attribute = 0;
};

// A record directory on a local disk with a file system, rooted at `root`: how
// the tools, tests and benchmarks lay out a recorder in a plain folder.
inline RecordDirInfoEx makeRecordDir(const std::string& root, int attribute, int groupId = 1,
                                     long long segmentSize = 64LL << 20) {
    RecordDirInfoEx dir;
    dir.setRecordRootDir(root);
    dir.setDiskType(1);
    dir.setFileSystemFormat(1);
    dir.setFileSegmentSize(segmentSize);
    dir.setGroupId(groupId);
    dir.setAttribute(attribute);
    return dir;
}

#endif  // RECORDLIB_RECORDDIRINFOEX_H
