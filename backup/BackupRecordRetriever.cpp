#include "BackupRecordRetriever.h"

#include "LocalBackupRecordRetriever.h"
#include "Logger.h"
#include "RecordInfo.h"
#include "TQRuntimeError.h"
#include "TSAVData.h"

namespace {

const char kSourceFile[] = "backup/BackupRecordRetriever.cpp";
const int kResultException = -739;
const int kResultIncomplete = -1;

// One "BackupIOError" entry for an exception caught at `line` of this file.
void logCaught(const TQRuntimeError& error, int line) {
    Logger::writeLog("BackupIOError", error.what(), kSourceFile, line);
}

}  // namespace

BackupRecordRetriever::BackupRecordRetriever(bool local)
    : m_source(), m_buffer(nullptr), m_bufferSize(0) {
    if (local) {
        m_source = SafePointer<IBackupRecordRetriever>(new LocalBackupRecordRetriever());
    }
}

BackupRecordRetriever::BackupRecordRetriever(const SafePointer<IBackupRecordRetriever>& source)
    : m_source(), m_buffer(nullptr), m_bufferSize(0) {
    if (!source.isNull()) m_source = source;
}

BackupRecordRetriever::~BackupRecordRetriever() {
    delete[] m_buffer;
    m_buffer = nullptr;
    m_bufferSize = 0;
}

int BackupRecordRetriever::open(const RecordInfo& info) {
    try {
        return m_source->open(info);
    } catch (const TQRuntimeError& error) {
        logCaught(error, __LINE__);
        return kResultException;
    }
}

int BackupRecordRetriever::read(TSAVData* data) {
    try {
        const int length = m_source->getTSInfo(data);
        if (length < 0) return length;

        if (length > m_bufferSize) {
            // Old contents are never needed: the buffer only carries one frame.
            if (m_buffer != nullptr) {
                delete[] m_buffer;
                m_buffer = nullptr;
                m_bufferSize = 0;
            }
            m_buffer = new char[length];
            m_bufferSize = length;
        }

        int offset = 0;
        while (offset < length) {
            const int got = m_source->readTSData(m_buffer + offset, length - offset);
            if (got <= 0) return kResultIncomplete;
            offset += got;
        }

        data->setData(m_buffer, static_cast<unsigned int>(length));
        return 0;
    } catch (const TQRuntimeError& error) {
        logCaught(error, __LINE__);
        return kResultException;
    }
}

void BackupRecordRetriever::close() {
    try {
        m_source->close();
    } catch (const TQRuntimeError& error) {
        logCaught(error, __LINE__);
    }
}
