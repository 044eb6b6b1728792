#include "BackupRecordDir.h"

#include "FileSystem.h"
#include "RecordResult.h"
#include "TSAVData.h"

bool BackupRecordDir::canWrite(TSAVData* frame, int /*arg*/) {
    long long free = 0;
    if (m_fs.freeSpace(m_info.getRecordRootDir(), free) != kRecordOk) return false;
    long long need = frame != nullptr && frame->getDataLength() > 0 ? frame->getDataLength() : 0;
    return free - m_reserve >= need;
}

long long BackupRecordDir::addWrittenSize(int size) {
    if (size > 0) return m_written.fetch_add(size) + size;
    return m_written.load();
}
