// Recordings made by the recorder side: a synthetic camera cut into files,
// a picture-size change, an import, and every file playable by a real
// decoder.
#include <gtest/gtest.h>

#include "LocalRecorder.h"
#include "RecordFileReader.h"
#include "RecordTestSupport.h"
#include "RetrieverFileQuery.h"
#include "SyntheticCamera.h"

namespace {

using namespace rectest;

const long long kBegin = 1704153600000LL - 30000;  // 30 s before a midnight (UTC)

class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(tmp.sub("disk"));
        disk = makeRecordDir(tmp.sub("disk"), RecordDirInfoEx::kAttributeLocal);
    }
    std::vector<RecordFileInfo> listed() {
        RetrieverFileQuery q;
        q.setRecordDirInfo({disk});
        q.setDeviceList({"cam_10.1.1.1_1"});
        std::vector<RecordFileInfo> out;
        q.listRecordFiles(out, true);
        return out;
    }
    TempDir tmp;
    RecordDirInfoEx disk;
};

TEST_F(RecorderTest, SyntheticCameraCutsFilesAtKeyFramesAndPictureChanges) {
    SyntheticStreamOptions o;
    o.fps = 25;
    o.gopFrames = 50;  // a key frame every 2 s
    o.changeAtSeconds = 13;
    SyntheticCamera camera(disk, "cam", "10.1.1.1", 1);
    // 36 s in files of at least 5 s, cut at the next key frame, from 30 s
    // before midnight: the change at 14 s (the first key frame from 13 s on)
    // cuts a file early.
    ASSERT_EQ(7, camera.record(o, 36, kBegin, 5));
    std::vector<RecordFileInfo> files = listed();
    ASSERT_EQ(7u, files.size());
    const long long expectedBegins[] = {0, 6000, 12000, 14000, 20000, 26000, 32000};
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(kBegin + expectedBegins[i], files[i].getRecordBeginTime()) << i;
        if (i + 1 < files.size()) {
            EXPECT_EQ(files[i + 1].getRecordBeginTime(), files[i].getRecordEndTime()) << i;
        }
    }
    EXPECT_EQ(kBegin + 36000, files.back().getRecordEndTime());
    EXPECT_EQ(640, files[2].getAVStreamInfo().getImageWidth());
    EXPECT_EQ(320, files[3].getAVStreamInfo().getImageWidth());
    EXPECT_EQ(180, files[4].getAVStreamInfo().getImageHeight());
    // A file lies in the folder of the day it begins in.
    EXPECT_EQ("20240101", files[5].getRecordDate());
    EXPECT_EQ("20240102", files[6].getRecordDate());

    // Every file starts with a key-frame node, and the nodes hold at most
    // 500 ms each, so a backup at five nodes a second outruns the camera.
    for (const RecordFileInfo& f : files) {
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        ASSERT_EQ(kRecordOk, openRecordFileForRead(f, file, walk));
        int n = 0;
        long long bytes = 0;
        while (walk.seekNext()) {
            RecordIndexNode node;
            walk.getCurrentNodeInfo(node);
            EXPECT_TRUE(n > 0 || node.isIFrame());
            EXPECT_LE(node.getTimeLen(), 500);
            EXPECT_EQ(0, node.getDataLen() % 188);
            bytes += node.getDataLen();
            ++n;
        }
        EXPECT_EQ(f.getNodeCount(), n);
        EXPECT_EQ(static_cast<long long>(std::filesystem::file_size(f.createRecordFileName())),
                  bytes);
    }
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    for (const RecordFileInfo& f : files) {
        EXPECT_EQ("", decodeWarnings(f.createRecordFileName())) << f.createRecordFileName();
    }
}

TEST_F(RecorderTest, ImportedFileKeepsItsPacketsAndSegmentLimitCutsFiles) {
    // A source file made by the camera itself.
    RecordDirInfoEx source = makeRecordDir(tmp.sub("src"), RecordDirInfoEx::kAttributeLocal);
    std::filesystem::create_directories(tmp.sub("src"));
    SyntheticStreamOptions o;
    o.audio = true;
    SyntheticCamera maker(source, "cam", "10.1.1.1", 1);
    ASSERT_EQ(1, maker.record(o, 6, kBegin, 0));
    const std::string tsPath = maker.files()[0].createRecordFileName();

    SyntheticCamera importer(disk, "cam", "10.1.1.1", 1);
    ASSERT_EQ(2, importer.importFile(tsPath, kBegin + 3600000, 3));
    std::vector<RecordFileInfo> files = listed();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ(kBegin + 3600000, files[0].getRecordBeginTime());
    EXPECT_EQ(kBegin + 3600000 + 4000, files[1].getRecordBeginTime());

    // A small segment: files are cut where the next node would not fit.
    std::filesystem::create_directories(tmp.sub("small"));
    RecordDirInfoEx small =
        makeRecordDir(tmp.sub("small"), RecordDirInfoEx::kAttributeLocal, 1, 256 * 1024);
    SyntheticCamera cut(small, "cam", "10.1.1.1", 1);
    int made = cut.record(o, 10, kBegin, 0);
    ASSERT_GT(made, 1);
    for (const RecordFileInfo& f : cut.files()) {
        EXPECT_LE(f.getFileSize(), 256 * 1024);
        EXPECT_GT(f.getNodeCount(), 0);
    }

    // A missing disk root is refused and not created.
    RecordDirInfoEx gone = makeRecordDir(tmp.sub("gone"), RecordDirInfoEx::kAttributeLocal);
    SyntheticCamera lost(gone, "cam", "10.1.1.1", 1);
    EXPECT_EQ(kRecordNoDir, lost.record(o, 2, kBegin, 0));
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("gone")));
    EXPECT_EQ(kRecordNotFound, importer.importFile(tmp.sub("none.ts"), kBegin, 0));
}

}  // namespace
