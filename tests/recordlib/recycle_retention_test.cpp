// The recycle area purges itself on removal once files have been there for
// longer than the configured retention.
#include <gtest/gtest.h>

#include <filesystem>

#include "LocalRecorder.h"
#include "RecordDiskManagerImpl.h"
#include "RecordRecycleBin.h"
#include "RecordTestSupport.h"
#include "Singlton.h"

namespace {

namespace fs = std::filesystem;

int countIn(const std::string& folder) {
    int n = 0;
    for (auto& entry : fs::directory_iterator(folder)) n += entry.is_regular_file() ? 1 : 0;
    return n;
}

TEST(RecycleRetention, RemovalPurgesWhatOutlivedTheRetention) {
    rectest::TempDir tmp;
    fs::create_directories(tmp.sub("disk"));
    const RecordDirInfoEx disk = makeRecordDir(tmp.sub("disk"), RecordDirInfoEx::kAttributeLocal);
    const std::string recordDir = disk.getRecordRootDir() + "/record";

    // Retention -1 keeps everything, a long one keeps what was just moved,
    // 0 purges at once (the file moved by that very removal included).
    const long long retentions[] = {-1, 3600, 0};
    const int expectedLeft[] = {1, 2, 0};
    for (int i = 0; i < 3; ++i) {
        RecorderConfig config;
        config.recordDirs.push_back(disk);
        config.recycleRetentionSeconds = retentions[i];
        RecordDiskManagerImpl::setConfiguration(config);

        LocalRecorder rec(disk, "dev", "1.2.3.4", 1);
        const long long begin = 1704067200000LL + i * 60000;
        ASSERT_EQ(kRecordOk, rec.startFile(begin, AVStreamInfo()));
        std::vector<char> d = rectest::packets(1, i);
        ASSERT_EQ(kRecordOk, rec.addNode(d.data(), 188, begin, 500, true));
        ASSERT_EQ(kRecordOk, rec.finishFile());
        const RecordFileInfo file = rec.currentFile();

        RecordRecycleBin bin(disk.getDiskType(), recordDir);
        ASSERT_EQ(kRecordOk, bin.init(1, 0));
        EXPECT_EQ(1, bin.deleteFile(file.createRecordFileName(), file.getRecordFileName()));
        EXPECT_FALSE(fs::exists(file.createRecordFileName()));
        EXPECT_EQ(expectedLeft[i], countIn(recordDir + "/.recycle"))
            << "retention " << retentions[i];
    }
    RecordDiskManagerImpl::setConfiguration(RecorderConfig());
    destroyAllSingltonInstances();
}

}  // namespace
