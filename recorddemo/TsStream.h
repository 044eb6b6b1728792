#ifndef RECORDDEMO_TSSTREAM_H
#define RECORDDEMO_TSSTREAM_H

#include <cstdio>
#include <string>
#include <vector>

// Sources of recordings for the recorder side: a synthetic camera and an
// import of an existing MPEG-TS file. Both hand out the stream one index node
// at a time, ready to be written into a record file.
//
// Node rule (the same for both): a node is a run of whole 188-byte packets
// holding at most 500 ms of video frames, and a new node starts at every key
// frame. So a 25 fps camera with a key frame every 2 s makes nodes of 12, 12,
// 12, 12 and 2 frames, 2.5 nodes a second, while a backup job moves 5 nodes a
// second: the backup keeps up with a camera recording in real time. A node that
// starts with a key frame starts with a PAT and a PMT, so a record file (or a
// backup file) that begins with such a node is playable on its own.
//
// Neither class is safe for concurrent use; give each thread its own object.

// One index node.
struct TsNode {
    std::vector<unsigned char> data;  // whole 188-byte packets
    long long firstDts90k = 0;        // DTS of the node's first video frame, 90 kHz,
                                      // not wrapped at 2^33 (a running value)
    int timeLenMs = 0;                // the node's video frames, in milliseconds
    bool iFrame = false;              // the node starts with a key frame
    int width = 0;                    // picture size; 0 when unknown
    int height = 0;
    int encoderType = 0;  // 1 H.264, 2 H.265, 0 unknown
};

struct SyntheticStreamOptions {
    int width = 640;
    int height = 360;
    int encoderType = 1;  // 1 H.264, 2 H.265
    int fps = 25;         // a divisor of 90000
    int gopFrames = 50;   // frames from key frame to key frame
    bool audio = true;    // MPEG-1 Layer II audio on a second PID
    // Key frames come every gopFrames frames or a few frames later (a GOP is
    // cut only where its B-frames are complete), and at least every 50 frames.
    // When >= 0: the first key frame at or after this many seconds of stream
    // switches the picture size to changeWidth x changeHeight (once).
    double changeAtSeconds = -1;
    int changeWidth = 320;
    int changeHeight = 180;
    // DTS of the first frame, 90 kHz; the PCR runs 100 ms ahead of the DTS.
    // Values near 2^33 make a stream that wraps.
    long long startDts90k = 900000;
};

// A camera made of short real clips (recorddemo/data), looped with running time
// stamps and continuity counters. PIDs: PMT 0x1000, video 0x100 (also the PCR
// PID), audio 0x101. Every video PES carries PTS and DTS (B-frames: PTS > DTS);
// the PCR is in the first packet of every video PES.
class SyntheticStream {
  public:
    explicit SyntheticStream(const SyntheticStreamOptions& options);
    SyntheticStream(const SyntheticStream&) = delete;
    SyntheticStream& operator=(const SyntheticStream&) = delete;

    // True when a clip exists for that encoder type and picture size:
    // H.264 640x360 and 320x180, H.265 640x360.
    static bool hasClip(int encoderType, int width, int height);

    // Fills `node` with the next node (the stream never ends). False, with
    // `node` emptied, when no clip fits the options or a clip is malformed.
    bool nextNode(TsNode& node);

  private:
    struct Frame {
        std::size_t offset;
        std::size_t size;
        int ptsOffsetFrames;  // PTS - DTS in frames
        bool key;
    };
    struct Clip {
        const unsigned char* es = nullptr;
        std::vector<Frame> frames;
        int width = 0;
        int height = 0;
        int encoderType = 0;
    };

    bool loadClip(int encoderType, int width, int height, Clip& clip);
    bool loadAudio();
    void writeVideoFrame(const Frame& frame, long long dts);
    void writeAudioUntil(long long pts);
    void advance();

    SyntheticStreamOptions m_options;
    bool m_ok = false;
    bool m_changed = false;
    Clip m_clip;
    std::size_t m_position = 0;  // next frame of m_clip, decode order
    long long m_frameIndex = 0;  // frames written so far
    long long m_frameTicks = 3600;
    int m_gopPosition = 0;    // frames since the GOP's key frame, decode order
    int m_gopDisplayMax = 0;  // latest display position written in this GOP
    int m_gopKeyOffset = 0;   // PTS - DTS of the GOP's key frame, in frames
    std::vector<std::pair<std::size_t, std::size_t>> m_audioFrames;  // offset, size
    const unsigned char* m_audioData = nullptr;
    long long m_audioTicks = 2160;
    long long m_audioIndex = 0;
    long long m_audioStart = 0;
    unsigned char m_cc[4] = {0, 0, 0, 0};  // PAT, PMT, video, audio
    std::vector<unsigned char>* m_out = nullptr;
};

// Splits an existing .ts file into nodes by the rule above. The video PID and
// the encoder type come from the PAT and PMT; key frames are found by the
// random access indicator or by the key-frame NAL unit types (IDR or parameter
// sets) at the start of a PES; the picture size is read from the SPS of H.264
// and H.265 and is 0 when none was found. Every key-frame node gets a copy of
// the latest PAT and PMT in front unless it has them already, and the continuity counters of the
// PAT and PMT PIDs are renumbered so these copies keep them continuous.
class TsFileImporter {
  public:
    TsFileImporter() = default;
    ~TsFileImporter();
    TsFileImporter(const TsFileImporter&) = delete;
    TsFileImporter& operator=(const TsFileImporter&) = delete;

    // 0 on success; kRecordNotFound when the file cannot be opened,
    // kRecordCorrupt when it holds no 188-byte packet stream.
    [[nodiscard]] int open(const std::string& path);
    // Fills `node` with the next node; false at the end of the file.
    bool nextNode(TsNode& node);
    void close();

  private:
    bool readPacket(unsigned char* packet);
    void handlePsi(unsigned char* packet);

    std::FILE* m_file = nullptr;
    bool m_havePending = false;
    unsigned char m_pending[188] = {};
    bool m_pendingKey = false;
    long long m_pendingDts = 0;
    std::vector<unsigned char> m_heldPsi;  // PAT/PMT packets not yet given to a node
    std::vector<unsigned char> m_pat;      // latest PAT packet
    std::vector<unsigned char> m_pmt;      // latest PMT packet
    unsigned char m_patCc = 0;
    unsigned char m_pmtCc = 0;
    int m_pmtPid = -1;
    int m_videoPid = -1;
    int m_encoderType = 0;
    int m_width = 0;
    int m_height = 0;
    bool m_haveDts = false;
    unsigned long long m_lastRawDts = 0;
    long long m_lastDts = 0;  // unwrapped
    long long m_frameTicks = 3600;
    std::vector<unsigned char> m_keyPayload;  // start of the node's key-frame PES
    bool m_collectKey = false;
};

#endif  // RECORDDEMO_TSSTREAM_H
