#include "SyntheticCamera.h"

#include "LocalRecorder.h"
#include "RecordResult.h"

SyntheticCamera::SyntheticCamera(const RecordDirInfoEx& dir, const std::string& deviceId,
                                 const std::string& deviceIP, int cameraId)
    : m_dir(dir), m_deviceId(deviceId), m_deviceIP(deviceIP), m_cameraId(cameraId) {}

int SyntheticCamera::record(const SyntheticStreamOptions& options, double seconds,
                            long long beginTimeMs, int fileSeconds) {
    SyntheticStream stream(options);
    return recordNodes([&stream](TsNode& node) { return stream.nextNode(node); }, seconds,
                       beginTimeMs, fileSeconds);
}

int SyntheticCamera::importFile(const std::string& tsPath, long long beginTimeMs, int fileSeconds) {
    TsFileImporter importer;
    int r = importer.open(tsPath);
    if (r != kRecordOk) return r;
    r = recordNodes([&importer](TsNode& node) { return importer.nextNode(node); }, -1, beginTimeMs,
                    fileSeconds);
    importer.close();
    // Files begin at a key frame: none means the video was of another kind
    // (MPEG-4 Part 2, say) or had no key frame at all.
    return r == 0 ? kRecordNoVideo : r;
}

int SyntheticCamera::recordNodes(const std::function<bool(TsNode&)>& next, double seconds,
                                 long long beginTimeMs, int fileSeconds) {
    LocalRecorder recorder(m_dir, m_deviceId, m_deviceIP, m_cameraId);
    const long long limitMs = seconds < 0 ? -1 : static_cast<long long>(seconds * 1000.0);
    const long long fileMs = fileSeconds > 0 ? fileSeconds * 1000LL : 0;
    int completed = 0;
    bool started = false;
    long long firstDts = 0;
    AVStreamInfo current;
    TsNode node;
    auto finish = [&]() -> int {
        if (!recorder.isFileOpen()) return kRecordOk;
        int r = recorder.finishFile();
        if (r != kRecordOk) return r;
        m_files.push_back(recorder.currentFile());
        ++completed;
        return kRecordOk;
    };
    while (next(node)) {
        if (!started) {
            if (!node.iFrame) continue;
            started = true;
            firstDts = node.firstDts90k;
        }
        const long long atMs = (node.firstDts90k - firstDts) / 90;
        if (limitMs >= 0 && atMs >= limitMs) break;
        const long long timeMs = beginTimeMs + atMs;
        const bool formatChange = node.width != current.getImageWidth() ||
                                  node.height != current.getImageHeight() ||
                                  node.encoderType != current.getEncoderType();
        bool cut = !recorder.isFileOpen() || formatChange ||
                   (node.iFrame && fileMs > 0 &&
                    timeMs - recorder.currentFile().getRecordBeginTime() >= fileMs);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (cut) {
                int r = finish();
                if (r != kRecordOk) return r;
                current.setEncoderType(node.encoderType);
                current.setImageWidth(node.width);
                current.setImageHeight(node.height);
                current.setESStreamType(1);
                r = recorder.startFile(timeMs, current);
                if (r != kRecordOk) return r;
            }
            int r = recorder.addNode(reinterpret_cast<const char*>(node.data.data()),
                                     static_cast<int>(node.data.size()), timeMs, node.timeLenMs,
                                     node.iFrame);
            if (r == kRecordOk) break;
            if (r != kRecordSegmentFull || cut) return r;
            cut = true;  // the segment is full: the node starts the next file
        }
    }
    int r = finish();
    return r != kRecordOk ? r : completed;
}
