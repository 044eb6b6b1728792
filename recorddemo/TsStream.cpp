#include "TsStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "EmbeddedClips.h"
#include "RecordResult.h"
#include "ts/TsReader.h"

namespace {

using namespace MPEG_TS;

constexpr long long kNodeTicks = 45000;  // 500 ms of video frames per node
constexpr long long kPcrLeadTicks = 9000;
constexpr unsigned int kPmtPid = 0x1000;
constexpr unsigned int kVideoPid = 0x100;
constexpr unsigned int kAudioPid = 0x101;

// --- Packet writing -------------------------------------------------------

// One PSI section (without CRC) in one packet, pointer field 0.
void writePsiPacket(std::vector<unsigned char>& out, unsigned int pid, unsigned char& cc,
                    std::vector<unsigned char> section) {
    const unsigned int crc = mpegCrc32(section.data(), section.size());
    for (int s = 24; s >= 0; s -= 8) section.push_back(static_cast<unsigned char>(crc >> s));
    unsigned char p[kPacketSize];
    std::memset(p, 0xFF, sizeof p);
    p[0] = 0x47;
    p[1] = static_cast<unsigned char>(0x40 | (pid >> 8));
    p[2] = static_cast<unsigned char>(pid);
    p[3] = static_cast<unsigned char>(0x10 | (cc & 0x0F));
    cc = (cc + 1) & 0x0F;
    p[4] = 0;
    std::memcpy(p + 5, section.data(), section.size());
    out.insert(out.end(), p, p + kPacketSize);
}

void writePat(std::vector<unsigned char>& out, unsigned char& cc) {
    writePsiPacket(out, 0, cc,
                   {0x00, 0xB0, 13, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01,
                    static_cast<unsigned char>(0xE0 | (kPmtPid >> 8)),
                    static_cast<unsigned char>(kPmtPid & 0xFF)});
}

void writePmt(std::vector<unsigned char>& out, unsigned char& cc, unsigned char videoType,
              bool audio) {
    std::vector<unsigned char> s = {0x02,
                                    0xB0,
                                    0,
                                    0x00,
                                    0x01,
                                    0xC1,
                                    0x00,
                                    0x00,
                                    static_cast<unsigned char>(0xE0 | (kVideoPid >> 8)),
                                    static_cast<unsigned char>(kVideoPid & 0xFF),
                                    0xF0,
                                    0x00};
    auto addStream = [&s](unsigned char type, unsigned int pid) {
        s.insert(s.end(), {type, static_cast<unsigned char>(0xE0 | (pid >> 8)),
                           static_cast<unsigned char>(pid & 0xFF), 0xF0, 0x00});
    };
    addStream(videoType, kVideoPid);
    if (audio) addStream(0x03, kAudioPid);
    s[2] = static_cast<unsigned char>(s.size() - 3 + 4);  // after the length field, with CRC
    writePsiPacket(out, kPmtPid, cc, std::move(s));
}

void putTimeStamp(unsigned char* s, unsigned int prefix, unsigned long long v) {
    s[0] = static_cast<unsigned char>((prefix << 4) | 1);
    s[2] = s[4] = 1;  // marker bits
    writeTimeStamp(s, v & kTimeStampMask);
}

// Packs one PES (header and payload in `pes`) into packets. The first packet
// carries the PCR when `pcr` >= 0 and the random access indicator when `key`;
// the last one is filled up with adaptation field stuffing.
void writePes(std::vector<unsigned char>& out, unsigned int pid, unsigned char& cc,
              const std::vector<unsigned char>& pes, long long pcr, bool key) {
    std::size_t pos = 0;
    bool first = true;
    while (pos < pes.size()) {
        unsigned char p[kPacketSize];
        const bool withPcr = first && pcr >= 0;
        const bool withFlags = withPcr || (first && key);
        std::size_t af = withFlags ? 2 + (withPcr ? 6 : 0) : 0;  // adaptation field bytes
        const std::size_t space = kPacketSize - 4 - af;
        const std::size_t take = std::min(space, pes.size() - pos);
        af += space - take;
        p[0] = 0x47;
        p[1] = static_cast<unsigned char>((first ? 0x40 : 0) | (pid >> 8));
        p[2] = static_cast<unsigned char>(pid);
        p[3] = static_cast<unsigned char>((af > 0 ? 0x30 : 0x10) | (cc & 0x0F));
        cc = (cc + 1) & 0x0F;
        if (af > 0) {
            p[4] = static_cast<unsigned char>(af - 1);
            if (af > 1) {
                p[5] = static_cast<unsigned char>((first && key ? 0x40 : 0) | (withPcr ? 0x10 : 0));
                std::size_t i = 6;
                if (withPcr) {
                    p[10] = 0x7E;  // reserved bits, extension 0
                    p[11] = 0;
                    writePcrBase(p + 6, static_cast<unsigned long long>(pcr) & kTimeStampMask);
                    i = 12;
                }
                std::memset(p + i, 0xFF, 4 + af - i);
            }
        }
        std::memcpy(p + 4 + af, pes.data() + pos, take);
        out.insert(out.end(), p, p + kPacketSize);
        pos += take;
        first = false;
    }
}

// --- Parameter sets -------------------------------------------------------

// Reads bits of an RBSP (emulation prevention bytes already removed). Reads
// past the end give zeros and set `overrun`.
class BitReader {
  public:
    BitReader(const unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}
    unsigned int bit() {
        if (m_pos >= m_size * 8) {
            overrun = true;
            return 0;
        }
        const unsigned int b = (m_data[m_pos / 8] >> (7 - m_pos % 8)) & 1;
        ++m_pos;
        return b;
    }
    unsigned int bits(int n) {
        unsigned int v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    void skip(int n) {
        for (int i = 0; i < n; ++i) bit();
    }
    unsigned int ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (overrun || ++zeros > 31) {
                overrun = true;
                return 0;
            }
        }
        return ((1u << zeros) - 1) + bits(zeros);
    }
    int se() {
        const unsigned int v = ue();
        return (v & 1) ? static_cast<int>((v + 1) / 2) : -static_cast<int>(v / 2);
    }
    bool overrun = false;

  private:
    const unsigned char* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Removes emulation prevention bytes (00 00 03) from a NAL unit.
std::vector<unsigned char> unescape(const unsigned char* nal, std::size_t n) {
    std::vector<unsigned char> r;
    r.reserve(n);
    int zeros = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        r.push_back(nal[i]);
    }
    return r;
}

// The largest picture side the import takes from a parameter set. The fields
// are Exp-Golomb codes of up to 32 bits, so a damaged SPS can claim anything;
// real encoders stop far below this.
const long long kMaxPictureSide = 65535;

// Sets width and height to the coded size less the cropping window, counted
// in 64 bits so that no field value can overflow; false when either side is
// not in 1..kMaxPictureSide.
bool croppedSize(long long codedWidth, long long codedHeight, unsigned int chroma,
                 bool separatePlanes, unsigned int frameFactor, unsigned int left,
                 unsigned int right, unsigned int top, unsigned int bottom, int& width,
                 int& height) {
    const long long subW = (chroma == 1 || chroma == 2) && !separatePlanes ? 2 : 1;
    const long long subH = chroma == 1 && !separatePlanes ? 2 : 1;
    const long long w = codedWidth - subW * (static_cast<long long>(left) + right);
    const long long h = codedHeight - subH * frameFactor * (static_cast<long long>(top) + bottom);
    if (w < 1 || w > kMaxPictureSide || h < 1 || h > kMaxPictureSide) return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

// H.264 SPS (after the NAL header byte).
bool parseH264Sps(const std::vector<unsigned char>& rbsp, int& width, int& height) {
    BitReader r(rbsp.data(), rbsp.size());
    const unsigned int profile = r.bits(8);
    r.skip(16);
    r.ue();
    unsigned int chroma = 1;
    bool separate = false;
    static const unsigned int kHighProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                                 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), profile) !=
        std::end(kHighProfiles)) {
        chroma = r.ue();
        if (chroma == 3) separate = r.bit() != 0;
        r.ue();
        r.ue();
        r.bit();
        if (r.bit()) {  // scaling matrices
            for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i) {
                if (!r.bit()) continue;
                int last = 8, next = 8;
                for (int j = 0; j < (i < 6 ? 16 : 64) && next != 0 && !r.overrun; ++j) {
                    // delta_scale is -128..127 in a valid stream; a damaged one
                    // may code any 32-bit value, so the sum is taken in 64 bits.
                    next = static_cast<int>(((last + static_cast<long long>(r.se())) % 256 + 256) %
                                            256);
                    if (next != 0) last = next;
                }
            }
        }
    }
    r.ue();
    const unsigned int pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.bit();
        r.se();
        r.se();
        const unsigned int n = r.ue();
        for (unsigned int i = 0; i < n && !r.overrun; ++i) r.se();
    }
    r.ue();
    r.bit();
    const long long mbWidth = r.ue() + 1LL;
    const long long mapHeight = r.ue() + 1LL;
    const unsigned int frameMbsOnly = r.bit();
    if (!frameMbsOnly) r.bit();
    r.bit();
    unsigned int left = 0, right = 0, top = 0, bottom = 0;
    if (r.bit()) {
        left = r.ue();
        right = r.ue();
        top = r.ue();
        bottom = r.ue();
    }
    return !r.overrun &&
           croppedSize(mbWidth * 16, (2 - frameMbsOnly) * mapHeight * 16, chroma, separate,
                       2 - frameMbsOnly, left, right, top, bottom, width, height);
}

// H.265 SPS (after the two NAL header bytes).
bool parseH265Sps(const std::vector<unsigned char>& rbsp, int& width, int& height) {
    BitReader r(rbsp.data(), rbsp.size());
    r.skip(4);
    const unsigned int subLayers = r.bits(3);
    r.skip(1);
    r.skip(96);  // general profile, tier and level
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (unsigned int i = 0; i < subLayers; ++i) {
        profilePresent[i] = r.bit() != 0;
        levelPresent[i] = r.bit() != 0;
    }
    if (subLayers > 0) r.skip(2 * (8 - static_cast<int>(subLayers)));
    for (unsigned int i = 0; i < subLayers; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }
    r.ue();
    const unsigned int chroma = r.ue();
    bool separate = false;
    if (chroma == 3) separate = r.bit() != 0;
    const long long codedWidth = r.ue();
    const long long codedHeight = r.ue();
    unsigned int left = 0, right = 0, top = 0, bottom = 0;
    if (r.bit()) {
        left = r.ue();
        right = r.ue();
        top = r.ue();
        bottom = r.ue();
    }
    return !r.overrun && croppedSize(codedWidth, codedHeight, chroma, separate, 1, left, right, top,
                                     bottom, width, height);
}

// Calls f(nalStart, nalSize) for every NAL unit of an Annex-B buffer (the last
// one may be cut off at the end of the buffer).
template <typename F>
void forEachNal(const unsigned char* p, std::size_t n, F f) {
    std::size_t i = 0, start = 0;
    bool in = false;
    while (i + 3 <= n) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if (in) {
                std::size_t e = i;
                while (e > start && p[e - 1] == 0) --e;
                f(p + start, e - start);
            }
            i += 3;
            start = i;
            in = true;
        } else {
            ++i;
        }
    }
    if (in && start < n) f(p + start, n - start);
}

bool isKeyNal(int encoderType, unsigned char header) {
    if (encoderType == 2) {
        const int t = (header >> 1) & 0x3F;
        return (t >= 16 && t <= 21) || (t >= 32 && t <= 34);
    }
    const int t = header & 0x1F;
    return t == 5 || t == 7;
}

bool findPictureSize(int encoderType, const std::vector<unsigned char>& es, int& width,
                     int& height) {
    bool found = false;
    forEachNal(es.data(), es.size(), [&](const unsigned char* nal, std::size_t n) {
        if (found || n < 3) return;
        if (encoderType == 2 && ((nal[0] >> 1) & 0x3F) == 33) {
            found = parseH265Sps(unescape(nal + 2, n - 2), width, height);
        } else if (encoderType != 2 && (nal[0] & 0x1F) == 7) {
            found = parseH264Sps(unescape(nal + 1, n - 1), width, height);
        }
    });
    return found;
}

const char* codecName(int encoderType) {
    return encoderType == 1 ? "h264" : encoderType == 2 ? "hevc" : nullptr;
}

}  // namespace

// --- SyntheticStream ------------------------------------------------------

SyntheticStream::SyntheticStream(const SyntheticStreamOptions& options) : m_options(options) {
    m_ok = options.fps > 0 && 90000 % options.fps == 0 && options.gopFrames > 0 &&
           loadClip(options.encoderType, options.width, options.height, m_clip) &&
           (!options.audio || loadAudio());
    if (!m_ok) return;
    m_frameTicks = 90000 / options.fps;
    m_audioStart = options.startDts90k + m_clip.frames[0].ptsOffsetFrames * m_frameTicks;
}

bool SyntheticStream::hasClip(int encoderType, int width, int height) {
    const char* codec = codecName(encoderType);
    if (codec == nullptr) return false;
    const std::string name =
        "clip_" + std::to_string(width) + "x" + std::to_string(height) + "_" + codec;
    return findEmbeddedClip((name + ".es").c_str()) != nullptr &&
           findEmbeddedClip((name + ".frames").c_str()) != nullptr;
}

bool SyntheticStream::loadClip(int encoderType, int width, int height, Clip& clip) {
    if (!hasClip(encoderType, width, height)) return false;
    const std::string name = "clip_" + std::to_string(width) + "x" + std::to_string(height) + "_" +
                             codecName(encoderType);
    const EmbeddedClip* es = findEmbeddedClip((name + ".es").c_str());
    const EmbeddedClip* list = findEmbeddedClip((name + ".frames").c_str());
    // "<bytes> <PTS - DTS in frames> <key>" per line
    const std::string text(reinterpret_cast<const char*>(list->data), list->size);
    clip = Clip();
    std::size_t offset = 0, line = 0;
    while (line < text.size()) {
        std::size_t next = text.find('\n', line);
        if (next == std::string::npos) next = text.size();
        const std::string l = text.substr(line, next - line);
        line = next + 1;
        if (l.empty()) continue;
        char* e = nullptr;
        const long size = std::strtol(l.c_str(), &e, 10);
        const long ptsOffset = std::strtol(e, &e, 10);
        const long key = std::strtol(e, &e, 10);
        if (size <= 0 || ptsOffset < 0 || offset + size > es->size) return false;
        clip.frames.push_back(
            {offset, static_cast<std::size_t>(size), static_cast<int>(ptsOffset), key != 0});
        offset += size;
    }
    if (clip.frames.empty() || !clip.frames[0].key || offset != es->size) return false;
    clip.es = es->data;
    clip.width = width;
    clip.height = height;
    clip.encoderType = encoderType;
    return true;
}

bool SyntheticStream::loadAudio() {
    static const int kBitrates[] = {0,   32,  48,  56,  64,  80,  96, 112,
                                    128, 160, 192, 224, 256, 320, 384};
    static const int kRates[] = {44100, 48000, 32000};
    const EmbeddedClip* clip = findEmbeddedClip("clip_audio.mp2");
    if (clip == nullptr) return false;
    const unsigned char* p = clip->data;
    std::size_t pos = 0;
    int rate = 0;
    while (pos + 4 <= clip->size) {
        // MPEG-1 Layer II frame header
        if (p[pos] != 0xFF || (p[pos + 1] & 0xFE) != 0xFC) return false;
        const int bitrate = kBitrates[std::min(p[pos + 2] >> 4, 14)];
        const int rateIndex = (p[pos + 2] >> 2) & 3;
        if (bitrate == 0 || rateIndex == 3) return false;
        rate = kRates[rateIndex];
        const std::size_t size = 144 * 1000 * bitrate / rate + ((p[pos + 2] >> 1) & 1);
        if (pos + size > clip->size) break;
        m_audioFrames.emplace_back(pos, size);
        pos += size;
    }
    if (m_audioFrames.empty()) return false;
    m_audioData = p;
    m_audioTicks = 1152LL * 90000 / rate;
    return true;
}

void SyntheticStream::writeVideoFrame(const Frame& frame, long long dts) {
    const long long pts = dts + frame.ptsOffsetFrames * m_frameTicks;
    std::vector<unsigned char> pes(19);
    pes[0] = 0;
    pes[1] = 0;
    pes[2] = 1;
    pes[3] = 0xE0;
    const std::size_t length = 13 + frame.size;
    pes[4] = length > 0xFFFF ? 0 : static_cast<unsigned char>(length >> 8);
    pes[5] = length > 0xFFFF ? 0 : static_cast<unsigned char>(length);
    pes[6] = 0x84;  // data aligned
    pes[7] = 0xC0;  // PTS and DTS
    pes[8] = 10;
    putTimeStamp(&pes[9], 3, static_cast<unsigned long long>(pts));
    putTimeStamp(&pes[14], 1, static_cast<unsigned long long>(dts));
    pes.insert(pes.end(), m_clip.es + frame.offset, m_clip.es + frame.offset + frame.size);
    writePes(*m_out, kVideoPid, m_cc[2], pes, dts - kPcrLeadTicks, frame.key);
}

// Writes the audio frames that start before `pts`, in one PES.
void SyntheticStream::writeAudioUntil(long long pts) {
    const long long firstPts = m_audioStart + m_audioIndex * m_audioTicks;
    if (firstPts >= pts) return;
    std::vector<unsigned char> pes = {0, 0, 1, 0xC0, 0, 0, 0x80, 0x80, 5, 0, 0, 0, 0, 0};
    putTimeStamp(&pes[9], 2, static_cast<unsigned long long>(firstPts));
    while (m_audioStart + m_audioIndex * m_audioTicks < pts) {
        const auto& f = m_audioFrames[m_audioIndex % m_audioFrames.size()];
        pes.insert(pes.end(), m_audioData + f.first, m_audioData + f.first + f.second);
        ++m_audioIndex;
    }
    const std::size_t length = pes.size() - 6;
    pes[4] = static_cast<unsigned char>(length >> 8);
    pes[5] = static_cast<unsigned char>(length);
    writePes(*m_out, kAudioPid, m_cc[3], pes, -1, false);
}

bool SyntheticStream::nextNode(TsNode& node) {
    node = TsNode();
    if (!m_ok) return false;
    // A node begins at the current frame; switch the picture size first
    // when it is a key frame and the time has come.
    if (m_options.changeAtSeconds >= 0 && !m_changed && m_clip.frames[m_position].key &&
        m_frameIndex * m_frameTicks >= m_options.changeAtSeconds * 90000) {
        m_changed = true;
        if (!loadClip(m_options.encoderType, m_options.changeWidth, m_options.changeHeight,
                      m_clip)) {
            m_ok = false;
            return false;
        }
        m_position = 0;
    }
    m_out = &node.data;
    const long long firstDts = m_options.startDts90k + m_frameIndex * m_frameTicks;
    node.firstDts90k = firstDts;
    node.iFrame = m_clip.frames[m_position].key;
    node.width = m_clip.width;
    node.height = m_clip.height;
    node.encoderType = m_clip.encoderType;
    if (node.iFrame) {
        writePat(node.data, m_cc[0]);
        writePmt(node.data, m_cc[1], m_clip.encoderType == 2 ? 0x24 : 0x1B, m_options.audio);
    }
    long long frames = 0;
    do {
        const Frame& frame = m_clip.frames[m_position];
        if (frame.key) {
            m_gopPosition = 0;
            m_gopDisplayMax = 0;
            m_gopKeyOffset = frame.ptsOffsetFrames;
        } else {
            ++m_gopPosition;
        }
        m_gopDisplayMax =
            std::max(m_gopDisplayMax, m_gopPosition + frame.ptsOffsetFrames - m_gopKeyOffset);
        const long long dts = m_options.startDts90k + m_frameIndex * m_frameTicks;
        writeVideoFrame(frame, dts);
        if (m_options.audio) writeAudioUntil(dts + m_frameTicks);
        ++m_frameIndex;
        ++frames;
        advance();
    } while ((frames + 1) * m_frameTicks <= kNodeTicks && !m_clip.frames[m_position].key);
    m_out = nullptr;
    node.timeLenMs = static_cast<int>(frames * m_frameTicks / 90);
    return true;
}

// Moves to the next frame of the clip. A GOP is cut short at the first frame
// after gopFrames where every picture up to it in display order has been
// written (so the B-frames leave no hole), and goes on at the clip's next key
// frame. The clips' own GOPs are 50 frames, which bounds gopFrames from above.
void SyntheticStream::advance() {
    const std::size_t n = m_clip.frames.size();
    if (++m_position >= n) {
        m_position = 0;
        return;
    }
    if (m_clip.frames[m_position].key || m_gopPosition + 1 < m_options.gopFrames ||
        m_gopDisplayMax != m_gopPosition) {
        return;
    }
    while (m_position < n && !m_clip.frames[m_position].key) ++m_position;
    if (m_position >= n) m_position = 0;
}

// --- TsFileImporter -------------------------------------------------------

TsFileImporter::~TsFileImporter() { close(); }

void TsFileImporter::close() {
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
    m_havePending = false;
    m_heldPsi.clear();
}

int TsFileImporter::open(const std::string& path) {
    close();
    m_pat.clear();
    m_pmt.clear();
    m_patCc = m_pmtCc = 0;
    m_pmtPid = m_videoPid = -1;
    m_encoderType = m_width = m_height = 0;
    m_haveDts = false;
    m_frameTicks = 3600;
    m_keyPayload.clear();
    m_collectKey = false;
    m_file = std::fopen(path.c_str(), "rb");
    if (m_file == nullptr) return kRecordNotFound;
    // The stream starts at the first sync byte that another one follows
    // 188 bytes later (or that ends the file).
    unsigned char head[2 * kPacketSize];
    const std::size_t n = std::fread(head, 1, sizeof head, m_file);
    for (std::size_t i = 0; i + kPacketSize <= n; ++i) {
        if (head[i] == 0x47 && (i + kPacketSize >= n || head[i + kPacketSize] == 0x47)) {
            if (std::fseek(m_file, static_cast<long>(i), SEEK_SET) == 0) return kRecordOk;
            break;
        }
    }
    close();
    return kRecordCorrupt;
}

// Reads the next packet, skipping bytes up to the next sync byte when the
// stream has lost step.
bool TsFileImporter::readPacket(unsigned char* packet) {
    if (m_file == nullptr) return false;
    int c;
    while ((c = std::fgetc(m_file)) != EOF && c != 0x47) {
    }
    if (c == EOF) return false;
    packet[0] = 0x47;
    return std::fread(packet + 1, 1, kPacketSize - 1, m_file) == kPacketSize - 1;
}

// Keeps the latest PAT and PMT, learns the video PID from them, and numbers
// their continuity counters itself (see the header).
void TsFileImporter::handlePsi(unsigned char* p) {
    TsPacket t;
    if (!MPEG_TS::readPacket(p, t)) return;
    unsigned char& cc = t.pid == 0 ? m_patCc : m_pmtCc;
    p[3] = static_cast<unsigned char>((p[3] & 0xF0) | cc);
    cc = (cc + 1) & 0x0F;
    TsSection section;
    if (!readSection(p, t, section)) return;
    if (t.pid == 0 && section.tableId == 0x00) {
        const int pmtPid = pmtPidOf(section);
        if (pmtPid >= 0) m_pmtPid = pmtPid;
        m_pat.assign(p, p + kPacketSize);
    } else if (static_cast<int>(t.pid) == m_pmtPid && section.tableId == 0x02) {
        forEachStream(section, [this](unsigned int type, unsigned int pid) {
            const int encoder = type == 0x1B ? 1 : type == 0x24 ? 2 : type == 0x02 ? 0 : -1;
            if (encoder < 0) return true;
            m_videoPid = static_cast<int>(pid);
            m_encoderType = encoder;
            return false;
        });
        m_pmt.assign(p, p + kPacketSize);
    }
}

bool TsFileImporter::nextNode(TsNode& node) {
    node = TsNode();
    long long frames = 0;
    long long firstDts = 0;
    // The latest DTS of the node's frames: a stream that steps back does not
    // make the node's time length negative (the index refuses such a node).
    long long lastDts = 0;
    bool havePat = false, havePmt = false;  // in this node, before its first frame
    auto appendPsi = [&](const unsigned char* psi) {
        TsPacket t;
        if (frames == 0 && MPEG_TS::readPacket(psi, t)) (t.pid == 0 ? havePat : havePmt) = true;
        node.data.insert(node.data.end(), psi, psi + kPacketSize);
    };
    // PAT and PMT read after the previous node's last frame open this node.
    for (std::size_t i = 0; i < m_heldPsi.size(); i += kPacketSize) appendPsi(&m_heldPsi[i]);
    m_heldPsi.clear();
    unsigned char p[kPacketSize];
    TsPacket t;
    while (true) {
        bool startsFrame = false, key = false;
        long long dts = 0;
        bool valid = false;
        if (m_havePending) {
            std::memcpy(p, m_pending, kPacketSize);
            m_havePending = false;
            valid = MPEG_TS::readPacket(p, t);
            startsFrame = true;
            key = m_pendingKey;
            dts = m_pendingDts;
        } else {
            if (!readPacket(p)) break;
            valid = MPEG_TS::readPacket(p, t);
            if (valid && (t.pid == 0 || static_cast<int>(t.pid) == m_pmtPid)) {
                handlePsi(p);
                // Held back until it is known which node the PSI belongs to.
                if (frames > 0) {
                    m_heldPsi.insert(m_heldPsi.end(), p, p + kPacketSize);
                } else {
                    appendPsi(p);
                }
                continue;
            }
            if (valid && static_cast<int>(t.pid) == m_videoPid && t.pts != 0) {
                const unsigned long long raw = readTimeStamp(p + (t.dts != 0 ? t.dts : t.pts));
                startsFrame = true;
                if (!m_haveDts) {
                    m_lastDts = static_cast<long long>(raw);
                } else {
                    const long long step = timeStampDelta(raw, m_lastRawDts);
                    if (step > 0 && step <= 90000) m_frameTicks = step;
                    m_lastDts += step;
                }
                m_haveDts = true;
                m_lastRawDts = raw;
                dts = m_lastDts;
                key = t.randomAccess;
                if (t.pesData < kPacketSize) {
                    forEachNal(p + t.pesData, kPacketSize - t.pesData,
                               [&](const unsigned char* nal, std::size_t n) {
                                   if (n > 0 && isKeyNal(m_encoderType, nal[0])) key = true;
                               });
                }
            }
            if (startsFrame && frames > 0 && (key || dts - firstDts + m_frameTicks > kNodeTicks)) {
                std::memcpy(m_pending, p, kPacketSize);
                m_havePending = true;
                m_pendingKey = key;
                m_pendingDts = dts;
                break;
            }
            for (std::size_t i = 0; i < m_heldPsi.size(); i += kPacketSize)
                appendPsi(&m_heldPsi[i]);
            m_heldPsi.clear();
        }
        if (startsFrame) {
            if (frames == 0) {
                firstDts = dts;
                node.iFrame = key;
                // A key-frame node starts with a PAT and a PMT.
                unsigned char copy[kPacketSize];
                if (key && !havePmt && !m_pmt.empty()) {
                    std::memcpy(copy, m_pmt.data(), kPacketSize);
                    handlePsi(copy);
                    node.data.insert(node.data.begin(), copy, copy + kPacketSize);
                }
                if (key && !havePat && !m_pat.empty()) {
                    std::memcpy(copy, m_pat.data(), kPacketSize);
                    handlePsi(copy);
                    node.data.insert(node.data.begin(), copy, copy + kPacketSize);
                }
            }
            if (frames == 0 || dts > lastDts) lastDts = dts;
            ++frames;
            // Keep the start of a key frame for its SPS.
            m_collectKey = key;
            if (key) m_keyPayload.clear();
        }
        if (m_collectKey && valid && static_cast<int>(t.pid) == m_videoPid &&
            t.payload < kPacketSize) {
            if (t.unitStart && !startsFrame) {
                m_collectKey = false;
            } else if (m_keyPayload.size() < 4096) {
                const std::size_t from = startsFrame ? std::min(t.pesData, kPacketSize) : t.payload;
                m_keyPayload.insert(m_keyPayload.end(), p + from, p + kPacketSize);
            }
        }
        node.data.insert(node.data.end(), p, p + kPacketSize);
    }
    if (!m_havePending) {  // end of file: the held PSI closes the last node
        for (std::size_t i = 0; i < m_heldPsi.size(); i += kPacketSize) appendPsi(&m_heldPsi[i]);
        m_heldPsi.clear();
    }
    if (node.data.empty()) return false;
    if (node.iFrame) {
        int w = 0, h = 0;
        if (findPictureSize(m_encoderType, m_keyPayload, w, h)) {
            m_width = w;
            m_height = h;
        }
    }
    node.firstDts90k = firstDts;
    node.timeLenMs = frames > 0 ? static_cast<int>((lastDts - firstDts + m_frameTicks) / 90) : 0;
    node.width = m_width;
    node.height = m_height;
    node.encoderType = m_encoderType;
    return true;
}
