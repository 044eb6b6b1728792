// The synthetic camera and the .ts import: node rule, packet structure, and
// playability checked with a real decoder (ffmpeg/ffprobe), before and after
// the nodes are rebased as a backup file.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "MPEG_TS_Packager.h"
#include "RecordResult.h"
#include "RecordTestSupport.h"
#include "TsStream.h"
#include "ts_parse.h"

namespace {

using rectest::decodeWarnings;
using rectest::haveFfmpeg;
using rectest::run;
using tstest::isVideo;
using tstest::parseTs;
using tstest::TsEvent;

struct ProbedPacket {
    long long pts;
    long long dts;
    bool key;
};

// Video packets as the demuxer sees them, in file order.
std::vector<ProbedPacket> probeVideo(const std::string& file) {
    std::istringstream in(
        run("ffprobe -v error -select_streams v:0 -show_entries "
            "packet=pts,dts,flags -of csv=p=0 '" +
            file + "'"));
    std::vector<ProbedPacket> packets;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        ProbedPacket p{};
        char flags[16] = {};
        if (std::sscanf(line.c_str(), "%lld,%lld,%15s", &p.pts, &p.dts, flags) != 3) {
            ADD_FAILURE() << "unexpected ffprobe line: " << line;
            continue;
        }
        p.key = flags[0] == 'K';
        packets.push_back(p);
    }
    return packets;
}

class TsStreamTest : public ::testing::Test {
  protected:
    std::string writeFile(const std::string& name, const std::vector<TsNode>& nodes) {
        const std::string path = m_dir.sub(name);
        std::ofstream out(path, std::ios::binary);
        for (const TsNode& n : nodes)
            out.write(reinterpret_cast<const char*>(n.data.data()),
                      static_cast<std::streamsize>(n.data.size()));
        return path;
    }

    // The decoder's verdict on a file: no warning at all, DTS strictly
    // increasing, key frames exactly where expected (packet indexes).
    void checkPlayable(const std::string& path, const std::vector<std::size_t>& keys) {
        EXPECT_EQ(decodeWarnings(path), "");
        const std::vector<ProbedPacket> packets = probeVideo(path);
        ASSERT_FALSE(packets.empty());
        std::vector<std::size_t> seenKeys;
        for (std::size_t i = 0; i < packets.size(); ++i) {
            if (i > 0) {
                EXPECT_GT(packets[i].dts, packets[i - 1].dts) << "packet " << i;
            }
            EXPECT_GE(packets[i].pts, packets[i].dts) << "packet " << i;
            if (packets[i].key) seenKeys.push_back(i);
        }
        EXPECT_EQ(seenKeys, keys);
    }

    rectest::TempDir m_dir;
};

std::string picture(const TsNode& n) {
    return std::to_string(n.width) + "x" + std::to_string(n.height) + "/" +
           std::to_string(n.encoderType);
}
// What a node says of itself besides its data.
std::string describe(const TsNode& n) {
    return std::to_string(n.iFrame) + " " + std::to_string(n.firstDts90k) + " " +
           std::to_string(n.timeLenMs) + " " + picture(n);
}

std::vector<TsNode> takeNodes(SyntheticStream& stream, int count) {
    std::vector<TsNode> nodes(count);
    for (TsNode& n : nodes) EXPECT_TRUE(stream.nextNode(n));
    return nodes;
}

// Node rule, PSI at key frames, continuity counters over clip loops.
TEST_F(TsStreamTest, NodesFollowTheNodeRuleAndKeepCountersRunning) {
    SyntheticStreamOptions options;
    SyntheticStream stream(options);
    const std::vector<TsNode> nodes = takeNodes(stream, 60);  // 24 s: six clip loops
    std::map<unsigned int, int> cc;
    long long expectedDts = options.startDts90k;
    long long frames = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const TsNode& n = nodes[i];
        SCOPED_TRACE("node " + std::to_string(i));
        ASSERT_EQ(n.data.size() % 188, 0u);
        EXPECT_EQ(tstest::checkContinuity(n.data.data(), n.data.size(), cc), "");
        EXPECT_EQ(n.firstDts90k, expectedDts);
        EXPECT_LE(n.timeLenMs, 500);
        EXPECT_EQ("640x360/1", picture(n));
        const std::vector<TsEvent> events = parseTs(n.data.data(), n.data.size());
        int video = 0;
        bool keyInside = false;
        for (const TsEvent& e : events) {
            if (!isVideo(e)) continue;
            EXPECT_EQ(e.dts, expectedDts + video * 3600LL);
            EXPECT_GE(e.pts, e.dts);
            EXPECT_EQ(e.pcrBase, e.dts - 9000);
            if (video > 0 && e.randomAccess) keyInside = true;
            ++video;
        }
        EXPECT_FALSE(keyInside) << "a key frame must start a node";
        EXPECT_EQ(n.timeLenMs, video * 40);
        EXPECT_EQ(n.iFrame, frames % 50 == 0);
        // Key-frame nodes open with PAT and PMT.
        const unsigned int pid0 = ((n.data[1] & 0x1Fu) << 8) | n.data[2];
        const unsigned int pid1 = ((n.data[189] & 0x1Fu) << 8) | n.data[190];
        EXPECT_EQ(n.iFrame, pid0 == 0 && pid1 == 0x1000);
        // 500 ms at most, and no shorter than needed (12 frames at 25 fps),
        // except before a key frame.
        const bool beforeKey = (frames + video) % 50 == 0;
        if (!beforeKey) {
            EXPECT_EQ(video, 12);
        }
        frames += video;
        expectedDts += video * 3600LL;
    }
    EXPECT_EQ(frames, 600);

    EXPECT_FALSE(SyntheticStream::hasClip(1, 1920, 1080));
    SyntheticStreamOptions missing;
    missing.width = 1920;
    missing.height = 1080;
    SyntheticStream none(missing);
    TsNode node;
    node.data.assign(10, 1);
    EXPECT_FALSE(none.nextNode(node));
    EXPECT_TRUE(node.data.empty());
}

TEST_F(TsStreamTest, GopLengthAndPictureSizeChange) {
    SyntheticStreamOptions options;
    options.gopFrames = 25;
    options.changeAtSeconds = 3;
    SyntheticStream stream(options);
    const std::vector<TsNode> nodes = takeNodes(stream, 30);
    long long frames = 0;
    for (const TsNode& n : nodes) {
        if (n.iFrame) {
            EXPECT_EQ(frames % 25, 0) << "key frame at " << frames;
        }
        const bool changed = frames >= 75;  // the first key frame at or after 3 s
        EXPECT_EQ(changed ? "320x180/1" : "640x360/1", picture(n)) << "at frame " << frames;
        frames += n.timeLenMs / 40;
    }
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string path = writeFile("gop.ts", nodes);
    std::vector<std::size_t> keys;
    for (long long k = 0; k < frames; k += 25) keys.push_back(static_cast<std::size_t>(k));
    checkPlayable(path, keys);
    EXPECT_EQ(run("ffprobe -v error -select_streams v:0 -show_entries frame=width,height -of "
                  "csv=p=0 '" +
                  path + "' | tr -d , | sort -u | tr -d '\\n'"),
              "320180640360");
}

// The camera's recording and a backup file made of its nodes from a key
// frame on, rebased as the backup storage does, both play without a warning;
// so does a camera whose clock wraps at 2^33, and an H.265 camera.
TEST_F(TsStreamTest, RecordingsAndRebasedFilesPlayInARealDecoder) {
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    SyntheticStreamOptions options;
    SyntheticStream camera(options);
    std::vector<TsNode> nodes = takeNodes(camera, 25);
    checkPlayable(writeFile("camera.ts", nodes), {0, 50, 100, 150, 200});

    std::vector<TsNode> backup(nodes.begin() + 5, nodes.end());  // key frame at 2 s
    ASSERT_TRUE(backup.front().iFrame);
    unsigned long long base = 450000;  // the writer's start second 5
    for (TsNode& n : backup) {
        base = MPEG_TS::MPEG_TS_Packager::adjustTimeStamp(
            n.data.data(), static_cast<unsigned int>(n.data.size()), base);
    }
    const std::string rebased = writeFile("backup.ts", backup);
    checkPlayable(rebased, {0, 50, 100, 150});
    const std::vector<ProbedPacket> packets = probeVideo(rebased);
    ASSERT_EQ(packets.size(), 200u);
    EXPECT_EQ(packets.front().dts, 450000);
    EXPECT_EQ(static_cast<unsigned long long>(packets.back().dts) + 3600, base);

    SyntheticStreamOptions wrapping;
    wrapping.startDts90k = (1LL << 33) - 3 * 90000;
    SyntheticStream wrapCamera(wrapping);
    checkPlayable(writeFile("wrap.ts", takeNodes(wrapCamera, 15)), {0, 50, 100});

    SyntheticStreamOptions hevc;
    hevc.encoderType = 2;
    SyntheticStream hevcCamera(hevc);
    nodes = takeNodes(hevcCamera, 10);
    EXPECT_EQ("640x360/2", picture(nodes[0]));
    const std::string path = writeFile("hevc.ts", nodes);
    checkPlayable(path, {0, 50});
    EXPECT_EQ(run("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,"
                  "height -of csv=p=0 '" +
                  path + "' | sort -u | tr -d '\\n'"),
              "hevc,640,360");
}

// Importing a camera file gives back the same nodes, byte for byte, with the
// picture size read from the stream's own SPS.
TEST_F(TsStreamTest, ImportSplitsAFileIntoTheCamerasNodes) {
    SyntheticStreamOptions options;
    options.changeAtSeconds = 2;
    options.startDts90k = (1LL << 33) - 90000;  // the clock wraps after 1 s
    SyntheticStream camera(options);
    const std::vector<TsNode> nodes = takeNodes(camera, 20);
    const std::string path = writeFile("camera.ts", nodes);

    TsFileImporter importer;
    ASSERT_EQ(importer.open(path), kRecordOk);
    TsNode node;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        SCOPED_TRACE("node " + std::to_string(i));
        ASSERT_TRUE(importer.nextNode(node));
        EXPECT_EQ(node.data, nodes[i].data);
        // The first DTS is unwrapped like the camera's.
        EXPECT_EQ(describe(nodes[i]), describe(node));
    }
    EXPECT_FALSE(importer.nextNode(node));
    EXPECT_FALSE(importer.nextNode(node));

    EXPECT_EQ(importer.open(m_dir.sub("missing.ts")), kRecordNotFound);
    EXPECT_FALSE(importer.nextNode(node));
    std::ofstream(m_dir.sub("junk.ts"), std::ios::binary) << std::string(1000, 'x');
    EXPECT_EQ(importer.open(m_dir.sub("junk.ts")), kRecordCorrupt);
    EXPECT_FALSE(importer.nextNode(node));
}

// A file from another muxer: 30 fps, three B-frames, AAC, key frame every
// 2 s, a picture height that needs SPS cropping.
TEST_F(TsStreamTest, ImportOfAForeignFileKeepsEveryPacketAndPlays) {
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string source = m_dir.sub("foreign.ts");
    ASSERT_EQ(run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=352x200:rate=30 -f lavfi -i "
                  "sine -t 5 -c:v libx264 -bf 3 -g 60 -pix_fmt yuv420p -c:a aac '" +
                  source + "'"),
              "");
    TsFileImporter importer;
    ASSERT_EQ(importer.open(source), kRecordOk);
    std::vector<TsNode> nodes;
    TsNode node;
    while (importer.nextNode(node)) nodes.push_back(node);
    ASSERT_GE(nodes.size(), 10u);
    std::size_t bytes = 0;
    int keyNodes = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        SCOPED_TRACE("node " + std::to_string(i));
        const TsNode& n = nodes[i];
        bytes += n.data.size();
        EXPECT_LE(n.timeLenMs, 500);
        EXPECT_EQ("352x200/1", picture(n));
        if (n.iFrame) ++keyNodes;
        // A node holds at most 15 frames at 30 fps.
        int video = 0;
        for (const TsEvent& e : parseTs(n.data.data(), n.data.size())) video += isVideo(e);
        EXPECT_LE(video, 15);
        if (i + 1 < nodes.size()) {
            EXPECT_EQ(nodes[i + 1].firstDts90k - n.firstDts90k, n.timeLenMs * 90LL);
        }
    }
    EXPECT_EQ(keyNodes, 3);
    EXPECT_EQ(bytes, std::filesystem::file_size(source));  // nothing lost, nothing added
    EXPECT_TRUE(nodes.front().iFrame);
    checkPlayable(writeFile("imported.ts", nodes), {0, 60, 120});
}

}  // namespace
