// Time stamp rewriting of one frame's packets: one time line per backup file,
// B-frame and PCR relations kept, 2^33 wrap-around, and garbage input (run
// under the address sanitizer: every buffer is allocated to its exact size).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "MPEG_TS_Packager.h"
#include "TsStream.h"
#include "ts_packager_reference.h"
#include "ts_parse.h"

namespace {

using MPEG_TS::MPEG_TS_Packager;
using tstest::decodeTime;
using tstest::isAudio;
using tstest::isVideo;
using tstest::parseTs;
using tstest::TsEvent;

constexpr long long kWrap = 1LL << 33;

long long mod33(long long v) { return ((v % kWrap) + kWrap) % kWrap; }

// Rewrites `d` in a heap buffer of exactly its size, so that the sanitizer
// sees any access past its end.
unsigned long long adjust(std::vector<unsigned char>& d, unsigned long long base) {
    std::unique_ptr<unsigned char[]> b(new unsigned char[d.size() + (d.empty() ? 1 : 0)]);
    std::copy(d.begin(), d.end(), b.get());
    const unsigned long long r =
        MPEG_TS_Packager::adjustTimeStamp(b.get(), static_cast<unsigned int>(d.size()), base);
    std::copy(b.get(), b.get() + d.size(), d.begin());
    return r;
}

std::vector<TsNode> makeNodes(const SyntheticStreamOptions& options, int count) {
    SyntheticStream stream(options);
    std::vector<TsNode> nodes(count);
    for (TsNode& n : nodes) EXPECT_TRUE(stream.nextNode(n));
    return nodes;
}

const TsEvent* firstVideo(const std::vector<TsEvent>& events) {
    auto it = std::find_if(events.begin(), events.end(), isVideo);
    return it == events.end() ? nullptr : &*it;
}

// One packet with a PES header on `pid`; pts/dts/pcr < 0 leave them out.
std::vector<unsigned char> pesPacket(unsigned int pid, int streamId, long long pts, long long dts,
                                     long long pcr = -1) {
    std::vector<unsigned char> p(188, 0xAB);
    p[0] = 0x47;
    p[1] = static_cast<unsigned char>(0x40 | (pid >> 8));
    p[2] = static_cast<unsigned char>(pid);
    p[3] = 0x10;
    std::size_t pos = 4;
    if (pcr >= 0) {
        p[3] = 0x30;
        p[4] = 7;
        p[5] = 0x10;
        const unsigned long long b = static_cast<unsigned long long>(pcr);
        for (int k = 0; k < 4; ++k) p[6 + k] = static_cast<unsigned char>(b >> (25 - 8 * k));
        p[10] = static_cast<unsigned char>(((b & 1) << 7) | 0x7E | 1);  // extension 0x1xx
        p[11] = 0x23;
        pos = 12;
    }
    auto put = [&p](std::size_t at, int prefix, long long v) {
        p[at] = static_cast<unsigned char>((prefix << 4) | ((v >> 29) & 0x0E) | 1);
        p[at + 1] = static_cast<unsigned char>(v >> 22);
        p[at + 2] = static_cast<unsigned char>(((v >> 14) & 0xFE) | 1);
        p[at + 3] = static_cast<unsigned char>(v >> 7);
        p[at + 4] = static_cast<unsigned char>(((v << 1) & 0xFE) | 1);
    };
    const unsigned char flags = dts >= 0 ? 0xC0 : pts >= 0 ? 0x80 : 0;
    const unsigned char length = dts >= 0 ? 10 : pts >= 0 ? 5 : 0;
    const unsigned char h[] = {0,    0,     1,     static_cast<unsigned char>(streamId), 0, 0,
                               0x80, flags, length};
    std::memcpy(&p[pos], h, sizeof h);
    if (pts >= 0) put(pos + 9, dts >= 0 ? 3 : 2, pts);
    if (dts >= 0) put(pos + 14, 1, dts);
    return p;
}

void append(std::vector<unsigned char>& to, const std::vector<unsigned char>& p) {
    to.insert(to.end(), p.begin(), p.end());
}

// Nodes of a camera with B-frames and audio, rebased from the key-frame node
// at 2 s as the backup storage does: each node starts where the previous one
// ended, so the file has one continuous time line.
TEST(TsPackagerTest, RebasedNodesKeepBFramesPcrAndAudioOnOneTimeLine) {
    SyntheticStreamOptions options;
    std::vector<TsNode> nodes = makeNodes(options, 30);
    std::size_t first = 1;
    while (!nodes[first].iFrame) ++first;

    unsigned long long base = 5 * 90000ULL;
    long long lastDts = -1;
    int videoFrames = 0, audioPes = 0;
    for (std::size_t i = first; i < nodes.size(); ++i) {
        std::vector<unsigned char> data = nodes[i].data;
        const std::vector<TsEvent> before = parseTs(data.data(), data.size());
        const unsigned long long next = adjust(data, base);
        const std::vector<TsEvent> after = parseTs(data.data(), data.size());
        ASSERT_EQ(before.size(), after.size());
        const TsEvent* v0 = firstVideo(before);
        ASSERT_NE(v0, nullptr);
        const long long offset = static_cast<long long>(base) - decodeTime(*v0);
        long long nodeLastDts = -1;
        for (std::size_t k = 0; k < after.size(); ++k) {
            const TsEvent& b = before[k];
            const TsEvent& a = after[k];
            SCOPED_TRACE("node " + std::to_string(i) + " packet " + std::to_string(a.packet));
            if (b.pts >= 0) {
                EXPECT_EQ(a.pts, mod33(b.pts + offset));
                if (b.dts >= 0) {
                    EXPECT_EQ(a.dts, mod33(b.dts + offset));
                    EXPECT_EQ(a.pts - a.dts, b.pts - b.dts);  // B-frame reordering kept
                }
            }
            if (b.pcrBase >= 0) {
                EXPECT_EQ(a.pcrBase, mod33(b.pcrBase + offset));
                EXPECT_EQ(a.pcrExtension, b.pcrExtension);
                if (isVideo(a)) {
                    EXPECT_LE(a.pcrBase, a.dts);  // PCR never after DTS
                }
            }
            if (isAudio(a)) {
                ++audioPes;
                EXPECT_EQ(a.dts, -1);
            }
            if (isVideo(a)) {
                ++videoFrames;
                EXPECT_GT(a.dts, lastDts);  // DTS never goes backwards
                if (lastDts < 0) {
                    EXPECT_EQ(static_cast<unsigned long long>(a.dts), base);
                } else {
                    EXPECT_EQ(a.dts - lastDts, 3600);  // neither overlap nor gap
                }
                lastDts = a.dts;
                nodeLastDts = a.dts;
            }
        }
        EXPECT_EQ(next, static_cast<unsigned long long>(nodeLastDts) + 3600);
        // Shifting back restores every byte: only time stamps were touched,
        // and their marker bits and prefixes survived.
        adjust(data, static_cast<unsigned long long>(decodeTime(*v0)));
        EXPECT_EQ(data, nodes[i].data) << "node " << i;
        base = next;
    }
    EXPECT_EQ(videoFrames, 250);
    EXPECT_EQ(audioPes, videoFrames);  // 24 ms audio frames: one PES per video frame
}

TEST(TsPackagerTest, TimeStampsWrapAt2Pow33) {
    // The camera's clock wraps inside the recording: the rebased time line
    // goes on without a jump.
    SyntheticStreamOptions options;
    options.startDts90k = kWrap - 100000;
    std::vector<TsNode> nodes = makeNodes(options, 8);
    unsigned long long base = 90000;
    for (const TsNode& n : nodes) {
        std::vector<unsigned char> data = n.data;
        const unsigned long long next = adjust(data, base);
        const std::vector<TsEvent> events = parseTs(data.data(), data.size());
        const TsEvent* v0 = firstVideo(events);
        ASSERT_NE(v0, nullptr);
        EXPECT_EQ(static_cast<unsigned long long>(v0->dts), base);
        EXPECT_EQ(next - base, static_cast<unsigned long long>(n.timeLenMs) * 90);
        base = next;
    }

    // The file's time line passes 2^33: the packets carry the values modulo
    // 2^33 (PCR base too), the answer is the unwrapped running value.
    nodes = makeNodes(SyntheticStreamOptions(), 8);
    base = static_cast<unsigned long long>(kWrap) - 50000;
    for (const TsNode& n : nodes) {
        std::vector<unsigned char> data = n.data;
        const std::vector<TsEvent> before = parseTs(data.data(), data.size());
        const unsigned long long next = adjust(data, base);
        const std::vector<TsEvent> after = parseTs(data.data(), data.size());
        const long long offset = static_cast<long long>(base) - decodeTime(*firstVideo(before));
        for (std::size_t k = 0; k < after.size(); ++k) {
            if (before[k].pts >= 0) {
                EXPECT_EQ(after[k].pts, mod33(before[k].pts + offset));
            }
            if (before[k].dts >= 0) {
                EXPECT_EQ(after[k].dts, mod33(before[k].dts + offset));
            }
            if (before[k].pcrBase >= 0) {
                EXPECT_EQ(after[k].pcrBase, mod33(before[k].pcrBase + offset));
            }
        }
        EXPECT_GT(next, base);
        base = next;
    }
    EXPECT_GT(base, static_cast<unsigned long long>(kWrap));

    // A PCR ahead of the first DTS by more than the base wraps to the top.
    std::vector<unsigned char> frame = pesPacket(0x100, 0xE0, 1000500, 1000000, 991000);
    adjust(frame, 1000);
    const std::vector<TsEvent> e = parseTs(frame.data(), frame.size());
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].dts, 1000);
    EXPECT_EQ(e[0].pts, 1500);
    EXPECT_EQ(e[0].pcrBase, kWrap - 8000);
    EXPECT_EQ(e[0].pcrExtension, 0x123);
}

TEST(TsPackagerTest, AnchorAndNextBaseFollowTheVideoInDecodeOrder) {
    // Audio before the first video PES: the video DTS is the anchor and the
    // audio moves by the same offset (here to just below the base).
    std::vector<unsigned char> f;
    append(f, pesPacket(0x101, 0xC0, 9000, -1));
    append(f, pesPacket(0x100, 0xE0, 17200, 10000, 1000));
    append(f, pesPacket(0x100, 0xE0, 24400, 13000));
    append(f, pesPacket(0x100, 0xE0, 16000, 16000));  // a B-frame, PTS = DTS
    // Last DTS + smallest step, rounded up to whole 9 ticks (100 us).
    EXPECT_EQ(adjust(f, 100000), 100000ULL + 6000 + 3000 + 8);
    std::vector<TsEvent> e = parseTs(f.data(), f.size());
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].pts, 99000);
    EXPECT_EQ(e[1].dts, 100000);
    EXPECT_EQ(e[1].pts, 107200);
    EXPECT_EQ(e[1].pcrBase, 91000);
    EXPECT_EQ(e[2].dts, 103000);
    EXPECT_EQ(e[3].pts, 106000);

    // One frame only: the step is unknown, 40 ms is assumed.
    f = pesPacket(0x100, 0xE0, 7200, 3600);
    EXPECT_EQ(adjust(f, 500), 500ULL + 3600 + 4);

    // A frame without video: the first PES with a time stamp is the anchor;
    // a PES without DTS uses its PTS.
    f.clear();
    append(f, pesPacket(0x101, 0xC0, 50000, -1));
    append(f, pesPacket(0x101, 0xC0, 52160, -1));
    EXPECT_EQ(adjust(f, 0), 2160ULL + 2160);

    // A frame whose time stamps go backwards never answers less than its
    // base plus one step.
    f.clear();
    append(f, pesPacket(0x100, 0xE0, 90000, 90000));
    append(f, pesPacket(0x100, 0xE0, 80000, 80000));
    EXPECT_EQ(adjust(f, 1000), 1000ULL + 3600 + 8);

    // Nothing to rewrite: PSI only, or no data at all.
    SyntheticStream camera{SyntheticStreamOptions()};
    TsNode node;
    ASSERT_TRUE(camera.nextNode(node));
    std::vector<unsigned char> psi(node.data.begin(), node.data.begin() + 2 * 188);
    const std::vector<unsigned char> psiCopy = psi;
    EXPECT_EQ(adjust(psi, 777), 777ULL);
    EXPECT_EQ(psi, psiCopy);
    EXPECT_EQ(MPEG_TS_Packager::adjustTimeStamp(nullptr, 0, 42), 42ULL);
    EXPECT_EQ(MPEG_TS_Packager::adjustTimeStamp(nullptr, 188, 42), 42ULL);
}

TEST(TsPackagerTest, UnparseablePacketsAreLeftUntouched) {
    const std::vector<unsigned char> good = pesPacket(0x100, 0xE0, 7200, 3600, 2000);
    std::vector<std::vector<unsigned char>> bad;
    bad.push_back(pesPacket(0x100, 0xE0, 7200, 3600, 2000));
    bad.back()[4] = 184;  // adaptation field longer than the packet
    bad.push_back(pesPacket(0x100, 0xE0, 7200, 3600, 2000));
    bad.back()[0] = 0x46;  // no sync byte
    bad.push_back(pesPacket(0x100, 0xE0, 7200, 3600, 2000));
    bad.back()[1] |= 0x80;  // transport error
    bad.push_back(pesPacket(0x100, 0xE0, 7200, 3600));
    bad.back()[13] &= 0xFE;  // PTS marker bit missing
    {
        // PES header that does not fit: stuffing pushes it to the packet's end,
        // so its DTS would lie in the next packet.
        std::vector<unsigned char> p(188, 0xFF);
        p[0] = 0x47;
        p[1] = 0x41;
        p[2] = 0x00;
        p[3] = 0x30;
        p[4] = 170;
        p[5] = 0x00;
        const unsigned char h[] = {0, 0, 1, 0xE0, 0, 0, 0x80, 0xC0, 10, 0x31, 0, 1, 0};
        std::memcpy(&p[175], h, sizeof h);
        bad.push_back(p);
    }
    std::vector<unsigned char> frame;
    for (const auto& b : bad) append(frame, b);
    append(frame, good);
    // A partial packet at the end that looks like a packet start.
    const std::vector<unsigned char> tail(good.begin(), good.begin() + 100);
    append(frame, tail);

    const unsigned long long next = adjust(frame, 90000);
    EXPECT_EQ(next, 90000ULL + 3600);
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_TRUE(std::equal(bad[i].begin(), bad[i].end(), frame.begin() + i * 188))
            << "bad packet " << i << " was changed";
    }
    const std::vector<TsEvent> e = parseTs(frame.data() + bad.size() * 188, 188);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].dts, 90000);
    EXPECT_EQ(e[0].pts, 93600);
    EXPECT_EQ(e[0].pcrBase, 88400);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), frame.end() - 100));
}

TEST(TsPackagerTest, GarbageNeverReadsOrWritesOutsideTheBuffer) {
    std::mt19937 rng(20240611);
    SyntheticStream camera{SyntheticStreamOptions()};
    TsNode node;
    ASSERT_TRUE(camera.nextNode(node));
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> d;
        if (round % 2 == 0) {
            // Random bytes shaped like packets: sync bytes, unit starts,
            // adaptation fields of any length, PES start codes.
            d.resize(rng() % 2000);
            for (auto& b : d) b = static_cast<unsigned char>(rng());
            for (std::size_t i = 0; i + 20 < d.size(); i += 188) {
                d[i] = 0x47;
                if (rng() % 2) d[i + 1] |= 0x40;
                const std::size_t pes = 4 + (d[i + 3] & 0x20 ? 1 + d[i + 4] : 0);
                if (rng() % 2 && pes + 3 < 188 && i + pes + 3 < d.size()) {
                    d[i + pes] = 0;
                    d[i + pes + 1] = 0;
                    d[i + pes + 2] = 1;
                }
            }
        } else {
            // A real node, cut anywhere and with a few bytes flipped.
            d.assign(node.data.begin(), node.data.begin() + rng() % node.data.size());
            for (int k = 0; k < 20 && !d.empty(); ++k) d[rng() % d.size()] ^= 1u << (rng() % 8);
        }
        const std::vector<unsigned char> before = d;
        const unsigned long long base = rng();
        const unsigned long long next = adjust(d, base);
        ASSERT_GE(next, base);
        const std::size_t whole = d.size() - d.size() % 188;
        ASSERT_TRUE(std::equal(d.begin() + whole, d.end(), before.begin() + whole))
            << "partial packet changed in round " << round;
    }
}

// The rewrite steps over packets that carry neither an adaptation field nor a
// PES start; every byte and every answer must stay what the full parse of
// every packet gave, on real clips as recorded and with bits flipped.
TEST(TsPackagerTest, SteppingOverPlainPacketsChangesNoByteNorAnswer) {
    struct Case {
        const char* name;
        int encoderType, width;
        bool audio;
        long long startDts;
        int flips;  // bits flipped per frame (headers included)
    };
    const Case cases[] = {
        {"H.264 with audio", 1, 640, true, 900000, 0},
        {"H.264 small, no audio", 1, 320, false, 900000, 0},
        {"H.265 with audio", 2, 640, true, 900000, 0},
        {"H.264 wrapping at 2^33", 1, 640, true, kWrap - 90000, 0},
        {"H.264 with flipped bits", 1, 640, true, 900000, 40},
        {"H.265 with flipped bits", 2, 640, true, 900000, 40},
    };
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SyntheticStreamOptions options;
        options.encoderType = c.encoderType;
        options.width = c.width;
        options.height = c.width * 9 / 16;
        options.audio = c.audio;
        options.startDts90k = c.startDts;
        SyntheticStream stream(options);
        // Single nodes, then runs of nodes up to 2 MiB as one frame.
        for (std::size_t target : {std::size_t(1), std::size_t(200000), std::size_t(2) << 20}) {
            std::vector<unsigned char> frame;
            TsNode node;
            while (frame.size() < target && stream.nextNode(node))
                frame.insert(frame.end(), node.data.begin(), node.data.end());
            for (int k = 0; k < c.flips; ++k) frame[rng() % frame.size()] ^= 1u << (rng() % 8);
            std::vector<unsigned char> expected = frame;
            for (unsigned long long base : {0ULL, 900000ULL, 8589934000ULL}) {
                const unsigned long long want = tsref::adjustTimeStamp(
                    expected.data(), static_cast<unsigned int>(expected.size()), base);
                ASSERT_EQ(want, adjust(frame, base)) << frame.size() << " bytes, base " << base;
                ASSERT_TRUE(frame == expected) << frame.size() << " bytes, base " << base;
            }
        }
    }
}

}  // namespace
