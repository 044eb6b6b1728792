#include "LocalBackupRecordRetriever.h"

#include <cstdio>

#include "BasicTool.h"
#include "DiskManagerFactory.h"
#include "GlobalEnv.h"
#include "RecordDevice.h"
#include "RecordDiskManagerImpl.h"
#include "RecordFileReader.h"
#include "RecordIndexFileParserEx.h"
#include "RecordRecycleBin.h"
#include "RecordResult.h"
#include "Singlton.h"
#include "TSAVData.h"
#include "TagNew.h"

namespace {

const char kSourceFile[] = "backup/LocalBackupRecordRetriever.cpp";

// Joins a record root directory and its "record" sub-directory.
const std::string PATH_SEPARATOR = "/";
const char kRecordSubDir[] = "record";

// The record library's numbers that select what the backup reads.
const int kAttributeLocalRecord = 4;
const int kDiskTypeRemovable = 2;
const int kFileSystemRaw = 0;
const int kMainStream = 1;
const int kIndexOpenForEdit = 1;

// One data-stream read never asks for more than this.
const int kMaxReadBytes = 1048576;

const int kFrameTypeKey = 1;
const int kFrameTypeOther = 2;
const int kESStreamVideo = 1;

}  // namespace

LocalBackupRecordRetriever::LocalBackupRecordRetriever()
    : m_recordInfo(),
      m_file(),
      m_fileQuery(),
      m_recordFileInfo(new (kSourceFile, __LINE__) RecordFileInfo()),
      m_indexNodeInfo(),
      m_indexNode(),
      m_fileOpenFailed(false) {}

// Members go last declared first; the current file is not closed here.
LocalBackupRecordRetriever::~LocalBackupRecordRetriever() {}

int LocalBackupRecordRetriever::open(const RecordInfo& info) {
    m_fileQuery.setIFrameFlag(false);

    // Directory names carry the IP with '-' for ':'.
    std::string deviceIP = info.getDeviceIP();
    for (char& c : deviceIP) {
        if (c == ':') c = '-';
    }
    RecordInfo request(info);
    request.setDeviceIP(deviceIP.c_str());
    m_recordInfo = request;

    if (info.getDeviceId()[0] == '\0' || info.getCameraId() == 0) return kRecordBadRequest;

    // The policy lookup takes the IP as the host knows it, colons and all.
    std::vector<RecordDirInfoEx> dirList;
    getBackupRecordDirList(info, dirList);
    if (dirList.empty()) {
        if (GlobalEnv::getInstance()->getPrintFlag()) {
            std::printf("LocalBackupRecordRetriever DirList is empty\n");
        }
        return kRecordNoDir;
    }

    std::set<std::string> deviceList;
    getMatchDeviceList(dirList, m_recordInfo, deviceList);
    if (deviceList.empty()) return kRecordNoDevice;

    m_fileQuery.setDeviceList(deviceList);
    m_fileQuery.setRecordDirInfo(dirList);

    const long long beginTime = static_cast<long long>(m_recordInfo.getRecordBeginTime());
    return updateRecordFileInfo(beginTime);
}

void LocalBackupRecordRetriever::getBackupRecordDirList(const RecordInfo& info,
                                                        std::vector<RecordDirInfoEx>& list) {
    RecordDiskManagerImpl* diskManager = Singlton<RecordDiskManagerImpl>::getInstance(0);

    RecordDeviceInfo device(std::string(info.getDeviceId()), std::string(info.getDeviceIP()),
                            info.getCameraId(), kMainStream);
    RecordDeviceDirPolicy policy;
    if (diskManager->getRecordDeviceDirPolicy(device, policy) == 0) return;

    const int groupId = policy.getGroupID();
    std::vector<RecordDirInfoEx> allDirs;
    diskManager->getRecordDirInfoList(allDirs);
    for (const RecordDirInfoEx& dir : allDirs) {
        if (dir.getAttribute() == kAttributeLocalRecord && dir.getGroupId() == groupId) {
            list.push_back(dir);
        }
    }
}

void LocalBackupRecordRetriever::getMatchDeviceList(std::vector<RecordDirInfoEx>& dirs,
                                                    const RecordInfo& info,
                                                    std::set<std::string>& devices) {
    for (const RecordDirInfoEx& dir : dirs) {
        if (dir.getFileSystemFormat() == kFileSystemRaw &&
            dir.getDiskType() == kDiskTypeRemovable) {
            continue;
        }
        std::vector<std::string> names;
        if (BasicTool::getMatchDeviceDirList(dir, kRecordSubDir, std::string(info.getDeviceId()),
                                             std::string(info.getDeviceIP()), info.getCameraId(),
                                             names) != 0) {
            devices.insert(names.begin(), names.end());
        }
    }
}

int LocalBackupRecordRetriever::updateRecordFileInfo(long long time) {
    // Keeps the current description alive while the query replaces the handle.
    SafePointer<RecordFileInfo> previous(m_recordFileInfo);
    if (m_fileQuery.getRecordFileInfo(time, m_recordFileInfo, true) == 0) {
        return kRecordNoMoreFile;
    }
    close();
    return openFile(m_recordFileInfo);
}

int LocalBackupRecordRetriever::openFile(SafePointer<RecordFileInfo>& file) {
    // The previous stream (closed by now) still holds its file when it was
    // read to its end; it goes first, so that this retriever can open that
    // file again when it is still there (its removal was refused).
    m_file.dec_reference();
    SafePointer<IFile> stream;
    RecordFileIndexNodeInfo walk;
    // As the move's reader: a file that keeps failing to open or read is
    // given up on by the record library, and its query then passes over it.
    if (openRecordFileForRead(*file, stream, walk, true) != 0 || stream.isNull()) {
        // No node of the previous file may be taken for one of this file.
        m_indexNodeInfo.clear();
        m_fileOpenFailed = true;
        return kRecordOpenFailed;
    }
    m_file = stream;
    m_indexNodeInfo = walk;
    m_fileOpenFailed = false;
    return 0;
}

int LocalBackupRecordRetriever::close() {
    if (m_file.isNull()) return 0;
    return m_file->close();
}

int LocalBackupRecordRetriever::getTSInfo(TSAVData* data) {
    if (m_indexNodeInfo.seekNext() == 0) {
        // A file that failed to open was never read: it stays on the disk, and
        // the walk goes no further until the source is opened again.
        if (m_fileOpenFailed) return kRecordOpenFailed;

        // Every frame of the current file has been delivered: move it off the
        // disk before the query is asked, so it cannot be handed back.
        close();
        deleteFile(*m_recordFileInfo);
        const long long endTime = m_recordFileInfo->getRecordEndTime();
        const int result = updateRecordFileInfo(endTime);
        if (result != 0) return result;
        if (m_indexNodeInfo.seekNext() == 0) return kRecordNoFrameYet;
    }

    m_indexNodeInfo.getCurrentNodeInfo(m_indexNode);
    data->setTimeStamp(m_indexNodeInfo.getFileBeginTime() +
                       static_cast<long long>(m_indexNode.getTimeOffset()));
    data->setImageHeight(m_indexNodeInfo.getImageHeight());
    data->setImageWidth(m_indexNodeInfo.getImageWidth());
    data->setEncoderType(m_indexNodeInfo.getEncodeType());
    data->setDataTimeLength(m_indexNode.getTimeLen());
    data->setFrameType(m_indexNode.isIFrame() ? kFrameTypeKey : kFrameTypeOther);
    data->setESStreamType(kESStreamVideo);
    return m_indexNode.getDataLen();
}

int LocalBackupRecordRetriever::readTSData(char* buffer, int length) {
    if (m_file.isNull()) return kRecordNoStream;
    const int count = length < kMaxReadBytes ? length : kMaxReadBytes;
    return m_file->read(buffer, count);
}

int LocalBackupRecordRetriever::locateBeginFilePos() {
    const long long fileBegin = m_recordFileInfo->getRecordBeginTime();
    const long long rangeBegin = static_cast<long long>(m_recordInfo.getRecordBeginTime());
    const int offset = rangeBegin < fileBegin ? 0 : static_cast<int>(rangeBegin - fileBegin);
    return m_indexNodeInfo.seekIndexNode(offset);
}

void LocalBackupRecordRetriever::deleteFile(const RecordFileInfo& file) {
    const std::string date = BasicTool::getDateString(file.getRecordBeginTime());
    const std::string deviceDir =
        BasicTool::getDeviceDirString(file.getDeviceId(), file.getDeviceIP(), file.getCameraId());
    const RecordDirInfoEx dir = file.getRecordDirInfo();
    const std::string rootDir = dir.getRecordRootDir();
    const std::string recordDirPath = rootDir + PATH_SEPARATOR + kRecordSubDir;

    SafePointer<RecordRecycleBin> recycleBin(
        new (kSourceFile, __LINE__) RecordRecycleBin(dir.getDiskType(), recordDirPath));
    recycleBin->init(dir.getFileSystemFormat(), dir.getFileSegmentSize());

    const std::string builtName = file.createRecordFileName();
    const std::string heldName = file.getRecordFileName();
    if (recycleBin->deleteFile(builtName, heldName) == 0) {
        IDiskManager* diskManager =
            DiskManagerFactory::getDiskManager(dir.getDiskType(), dir.getFileSystemFormat());
        if (diskManager->deleteRecordFile(builtName.c_str()) == 0) return;
    }

    // The file is gone: drop its entry from the index of its device and day.
    RecordIndexFileParserEx parser;
    if (parser.open(RecordDirInfoEx(file.getRecordDirInfo()), date, deviceDir,
                    file.getRecordStorageType(), kIndexOpenForEdit) != 0) {
        parser.deleteFile(file);
        parser.close();
    }
}
