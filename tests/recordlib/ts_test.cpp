// Transport streams judged by a real demuxer (ffprobe): the camera's and the
// import's nodes, and the same nodes rebased as the backup storage does; the
// rewrite's answer, and the packets it must leave alone, byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "MPEG_TS_Packager.h"
#include "RecordResult.h"
#include "RecordTestSupport.h"
#include "TsStream.h"

namespace {

using MPEG_TS::MPEG_TS_Packager;
using rectest::run;

constexpr long long kWrap = 1LL << 33;
long long mod(long long v, long long m) { return ((v % m) + m) % m; }
using Bytes = std::vector<unsigned char>;

struct Packet {
    bool video, key;
    long long pts, dts, pos;  // pos: -1 when ffprobe has none (audio)
};

std::string ffprobe(const std::string& args, const std::string& file) {
    return run("ffprobe -v error " + args + " -of csv=p=0 '" + file + "'");
}

// Every packet of every stream as ffprobe sees it, in file order.
std::vector<Packet> probe(const std::string& file) {
    std::istringstream in(ffprobe("-show_entries packet=codec_type,pts,dts,pos,flags", file));
    std::vector<Packet> packets;
    for (std::string line; std::getline(in, line);) {
        Packet p{};
        char type[8] = {}, pos[24] = {}, flags[8] = {};
        if (std::sscanf(line.c_str(), "%7[^,],%lld,%lld,%23[^,],%7s", type, &p.pts, &p.dts, pos,
                        flags) == 5) {
            p.video = std::string(type) == "video";
            p.pos = pos[0] == 'N' ? -1 : std::atoll(pos);
            p.key = flags[0] == 'K';
            packets.push_back(p);
        }
    }
    return packets;
}

// The PCR (27 MHz) of every 188-byte packet, as the raw demuxer computes it.
std::vector<long long> probePcr(const std::string& file) {
    std::istringstream in(ffprobe(
        "-f mpegtsraw -compute_pcr 1 -correct_ts_overflow 0 -show_entries packet=pts", file));
    std::vector<long long> pcr;
    for (long long v; in >> v;) pcr.push_back(v);
    return pcr;
}

std::string write(const std::string& path, const std::vector<TsNode>& nodes, std::size_t from = 0) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = from; i < nodes.size(); ++i)
        out.write(reinterpret_cast<const char*>(nodes[i].data.data()),
                  static_cast<std::streamsize>(nodes[i].data.size()));
    return path;
}

std::vector<TsNode> importAll(const std::string& path) {
    TsFileImporter importer;
    EXPECT_EQ(importer.open(path), kRecordOk);
    std::vector<TsNode> nodes;
    for (TsNode n; importer.nextNode(n);) nodes.push_back(n);
    return nodes;
}

SyntheticStreamOptions camera(int encoder, long long startDts, int gop, double changeAt) {
    SyntheticStreamOptions o;
    o.encoderType = encoder;
    o.startDts90k = startDts;
    o.gopFrames = gop;
    o.changeAtSeconds = changeAt;
    return o;
}

struct Source {
    const char* name;
    SyntheticStreamOptions options;  // the camera, unless `ffmpeg` makes the file
    const char* ffmpeg;
    int nodes;
    long long frameTicks;
    unsigned long long base;  // where the rebased copy starts
};

// Each source's nodes play; the nodes from the second key frame on,
// rebased, make one file whose every packet is the original one moved by one
// offset modulo 2^33 (PTS, DTS and PCR alike) on one time line.
TEST(TsTest, NodesPlayAndRebasedNodesKeepEveryTimeStampRelation) {
    if (!rectest::haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const Source sources[] = {
        {"H.264, B-frames, audio", camera(1, 900000, 50, -1), nullptr, 25, 3600, 450000},
        {"GOP 25, size change at 3 s", camera(1, 900000, 25, 3), nullptr, 30, 3600, 450000},
        {"camera clock wraps", camera(1, kWrap - 270000, 50, -1), nullptr, 15, 3600, 90000},
        {"file's time line wraps", camera(1, 900000, 50, -1), nullptr, 15, 3600, kWrap - 90000},
        {"H.265", camera(2, 900000, 50, -1), nullptr, 10, 3600, 900000},
        {"ffmpeg: 30 fps, 3 B-frames, AAC, cropped SPS", camera(1, 0, 60, -1),
         "-f lavfi -i testsrc2=size=352x200:rate=30 -f lavfi -i sine -t 5 -c:v libx264 -bf 3 "
         "-g 60 -pix_fmt yuv420p -c:a aac",
         0, 3000, kWrap - 7777},
    };
    rectest::TempDir dir;
    for (const Source& s : sources) {
        SCOPED_TRACE(s.name);
        const std::string source = dir.sub("source.ts");
        std::vector<TsNode> nodes;
        if (s.ffmpeg != nullptr) {
            ASSERT_EQ(run(std::string("ffmpeg -nostdin -v error -y ") + s.ffmpeg + " " + source),
                      "");
            nodes = importAll(source);
            std::uintmax_t bytes = 0;  // nothing lost, nothing added
            for (const TsNode& n : nodes) bytes += n.data.size();
            EXPECT_EQ(bytes, std::filesystem::file_size(source));
        } else {
            SyntheticStream stream(s.options);
            nodes.resize(static_cast<std::size_t>(s.nodes));
            for (TsNode& n : nodes) ASSERT_TRUE(stream.nextNode(n));
            write(source, nodes);
        }
        std::vector<long long> starts{0};  // byte offset of every node, and the end
        for (const TsNode& n : nodes) starts.push_back(starts.back() + n.data.size());
        auto nodeOf = [&](long long pos) {
            return std::upper_bound(starts.begin(), starts.end(), pos) - starts.begin() - 1;
        };

        // Every video frame by the node it lies in (the demo camera's and the
        // import's node rule are theirs; what counts here is the rewrite).
        EXPECT_EQ(rectest::decodeWarnings(source), "");
        const std::vector<Packet> packets = probe(source);
        std::vector<std::vector<Packet>> video(nodes.size());
        for (const Packet& p : packets) {
            if (p.video) video[static_cast<std::size_t>(nodeOf(p.pos))].push_back(p);
        }
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            ASSERT_FALSE(video[i].empty()) << "node " << i;
            EXPECT_EQ(nodes[i].iFrame, video[i][0].key) << "node " << i;
        }

        // The rebased copy from the second key frame on.
        std::size_t first = 1;
        while (first < nodes.size() && !nodes[first].iFrame) ++first;
        ASSERT_LT(first, nodes.size());
        // Each node moves by its own offset: its start is the previous
        // node's answer, rounded up to 9 ticks.
        unsigned long long next = s.base;
        std::vector<long long> offset(nodes.size() + 1);
        for (std::size_t i = first; i < nodes.size(); ++i) {
            offset[i] = static_cast<long long>(next) - video[i][0].dts;
            next = MPEG_TS_Packager::adjustTimeStamp(
                nodes[i].data.data(), static_cast<unsigned int>(nodes[i].data.size()), next);
        }
        offset.back() = offset[nodes.size() - 1];
        const std::string rebased = write(dir.sub("rebased.ts"), nodes, first);
        EXPECT_EQ(rectest::decodeWarnings(rebased), "");
        const std::vector<Packet> moved = probe(rebased);
        ASSERT_LE(moved.size(), packets.size());
        auto tail = packets.end() - static_cast<long>(moved.size());
        ASSERT_TRUE(tail == packets.begin() || (tail - 1)->pos < starts[first]);
        long long lastDts = 0, bFrames = 0, videoSeen = 0;
        std::size_t node = first;  // audio: of the video before it, or of the one after
        for (std::size_t j = 0; j < moved.size(); ++j, ++tail) {
            const Packet& m = moved[j];
            EXPECT_EQ(m.pos, m.pos < 0 ? -1 : tail->pos - starts[first]);
            EXPECT_EQ(m.video, tail->video);
            EXPECT_EQ(m.key, tail->key);
            if (m.video) node = static_cast<std::size_t>(nodeOf(tail->pos));
            // Audio: of the node of the video before it or after it, and
            // the demuxer derives the time of each AAC frame after a PES's
            // first one (a tick either way).
            const long long lo =
                m.video ? offset[node] : std::min(offset[node], offset[node + 1]) - 1;
            const long long hi =
                m.video ? offset[node] : std::max(offset[node], offset[node + 1]) + 1;
            EXPECT_LE(mod(m.pts - tail->pts - lo, kWrap), hi - lo);
            EXPECT_LE(mod(m.dts - tail->dts - lo, kWrap), hi - lo);
            if (!m.video) continue;
            bFrames += m.pts != m.dts;
            if (videoSeen++ == 0) {
                EXPECT_EQ(mod(m.dts - static_cast<long long>(s.base), kWrap), 0);
            } else {  // one time line: no overlap, no gap of a frame
                EXPECT_GE(mod(m.dts - lastDts, kWrap) - s.frameTicks, 0);
                EXPECT_LE(mod(m.dts - lastDts, kWrap) - s.frameTicks, 8);
            }
            lastDts = m.dts;
        }
        EXPECT_GT(bFrames, 0);
        EXPECT_LE(mod(static_cast<long long>(next) - lastDts, kWrap) - s.frameTicks, 8);
        const std::vector<long long> pcr = probePcr(source), movedPcr = probePcr(rebased);
        const std::size_t skip = static_cast<std::size_t>(starts[first] / 188);
        ASSERT_EQ(movedPcr.size() + skip, pcr.size());
        // From the first PCR on (after the PAT and PMT), but not where the raw
        // demuxer interpolates between two PCRs across a wrap, or between
        // two nodes moved by different offsets.
        for (std::size_t j = 3; j < movedPcr.size(); ++j) {
            const std::size_t n = static_cast<std::size_t>(nodeOf((skip + j) * 188));
            const long long off = offset[n];
            if (pcr[skip + j] < pcr[skip + j - 1] || movedPcr[j] < movedPcr[j - 1] ||
                off != offset[n + 1] || (n > first && off != offset[n - 1]))
                continue;
            EXPECT_EQ(mod(movedPcr[j] - pcr[skip + j] - off * 300, kWrap * 300), 0) << j;
        }
    }
}

// One packet of PID 0x100 (video, stream 0xE0) or 0x101 (audio, 0xC0)
// that starts a PES with a PTS, and a DTS unless `dts` < 0.
Bytes pes(bool video, long long pts, long long dts) {
    auto b = [](unsigned long long v) { return static_cast<unsigned char>(v); };
    Bytes p = {0x47, 0x41, b(!video), 0x10, 0, 0, 1, b(video ? 0xE0 : 0xC0), 0, 0, 0x80};
    p.insert(p.end(), {b(dts < 0 ? 0x80 : 0xC0), b(dts < 0 ? 5 : 10)});
    for (long long t : {pts, dts}) {
        const auto u = static_cast<unsigned long long>(t);
        if (t >= 0)
            p.insert(p.end(), {b(0x21 | (u >> 29 & 0x0E)), b(u >> 22), b(1 | (u >> 14 & 0xFE)),
                               b(u >> 7), b(1 | (u << 1 & 0xFE))});
    }
    p.resize(188, 0xFF);
    return p;
}
Bytes V(long long pts, long long dts) { return pes(true, pts, dts); }
Bytes A(long long pts) { return pes(false, pts, -1); }

unsigned long long adjust(Bytes& frame, unsigned long long base) {
    return MPEG_TS_Packager::adjustTimeStamp(frame.data(), static_cast<unsigned int>(frame.size()),
                                             base);
}

// The answer: where the next frame starts, from the first video PES (or the
// first PES) in decode order: last DTS + smallest step, up to whole 9 ticks.
TEST(TsTest, AnswerFollowsTheVideoInDecodeOrder) {
    struct Row {
        const char* name;
        std::vector<Bytes> packets;
        unsigned long long base, next;
    };
    const Row rows[] = {
        {"audio first, a frame dropped: the smallest step",
         {A(9000), V(17200, 10000), V(24400, 13000), V(19000, 19000)},
         100000,
         100000 + 9000 + 3000 + 5},
        {"one frame: 40 ms", {V(7200, 3600)}, 500, 500 + 3600 + 4},
        {"no video: the PTS", {A(50000), A(52160)}, 0, 2160 + 2160},
        {"DTS going back", {V(90000, 90000), V(80000, 80000)}, 1000, 1000 + 3600 + 8},
        {"DTS wrapping", {V(kWrap - 1000, kWrap - 1000), V(1000, 1000)}, kWrap, kWrap + 4000 + 6},
        {"no time stamp", {}, 42, 42},
    };
    for (const Row& r : rows) {
        Bytes frame;
        for (const Bytes& p : r.packets) frame.insert(frame.end(), p.begin(), p.end());
        EXPECT_EQ(adjust(frame, r.base), r.next) << r.name;
    }
}

// Packets the reader refuses keep every byte, and so do the time stamps of
// a PES header it does not take; a trailing partial packet too.
TEST(TsTest, RefusedPacketsAreLeftUntouched) {
    SyntheticStream camera{SyntheticStreamOptions()};
    TsNode node;
    ASSERT_TRUE(camera.nextNode(node));
    // Packet 2, the first of the video (after PAT and PMT): a PCR, then the
    // PES header at byte 12, its PTS at 21 and DTS at 26.
    struct Row {
        const char* name;
        std::size_t at;
        unsigned char keep, set;
        std::size_t from, to;  // the bytes of packet 2 that must not change
    } const rows[] = {
        {"no sync byte", 0, 0, 0x46, 0, 188},
        {"transport error flag", 1, 0xFF, 0x80, 0, 188},
        {"adaptation field past the packet", 4, 0, 184, 0, 188},
        {"PES start code broken", 14, 0, 2, 21, 31},
        {"stream id of padding", 15, 0, 0xBE, 21, 31},
        {"'10' bits broken", 18, 0x3F, 0x40, 21, 31},
        {"PTS marker bit broken", 23, 0xFE, 0, 21, 31},
        {"DTS marker bit broken", 30, 0xFE, 0, 21, 31},
    };
    for (const Row& r : rows) {
        Bytes frame = node.data;
        frame[2 * 188 + r.at] =
            static_cast<unsigned char>((frame[2 * 188 + r.at] & r.keep) | r.set);
        frame.insert(frame.end(), node.data.begin(), node.data.begin() + 100);
        const Bytes before = frame;
        adjust(frame, 123456789);
        EXPECT_NE(frame, before) << r.name;  // the other packets moved
        const std::size_t from = 2 * 188 + r.from, to = 2 * 188 + r.to;
        EXPECT_TRUE(std::equal(&frame[from], &frame[to], &before[from])) << r.name;
        EXPECT_TRUE(std::equal(frame.end() - 100, frame.end(), before.end() - 100)) << r.name;
    }
}

}  // namespace
