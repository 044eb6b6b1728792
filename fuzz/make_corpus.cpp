// Writes the seed corpus of the fuzz targets from the project's own writers:
// day indexes written by RecordIndexFile, frames and streams made by
// SyntheticStream. Run it as `fuzz_make_corpus fuzz/corpus` from the source
// folder; the files it writes are checked in (regression inputs found by the
// fuzzers sit beside them and are not written by this program).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TsStream.h"
#include "store/FileSystem.h"
#include "store/RecordIndexFile.h"

namespace fs = std::filesystem;

namespace {

void save(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

RecordIndexEntry entry(const std::string& name, int nodes, int state) {
    RecordIndexEntry e;
    e.fileName = name;
    e.beginTime = 1704067200000LL;
    e.state = state;
    e.stream.setEncoderType(1);
    e.stream.setImageWidth(320);
    e.stream.setImageHeight(180);
    e.stream.setESStreamType(1);
    for (int i = 0; i < nodes; ++i) {
        e.nodes.emplace_back(188 * (i + 2), 480, 500 * i, i % 4 == 0);
        e.fileSize += 188 * (i + 2);
    }
    e.endTime = e.beginTime + 500LL * nodes;
    return e;
}

void indexes(const fs::path& out, const fs::path& work) {
    FileSystem& posix = *posixFileSystem();
    const std::string path = (work / "record.idx").string();
    auto fresh = [&]() { fs::remove(path); };
    auto must = [](int r) {
        if (r != 0) {
            std::fprintf(stderr, "make_corpus: index write failed (%d)\n", r);
            std::exit(1);
        }
    };
    // Being recorded: a file entry, then its nodes one at a time.
    fresh();
    RecordIndexEntry a = entry("1704067200000.ts", 0, 0);
    must(RecordIndexFile::appendFile(posix, path, a, false));
    RecordIndexEntry full = entry("1704067200000.ts", 3, 0);
    for (int i = 0; i < 3; ++i) {
        must(RecordIndexFile::appendNodes(posix, path, a.fileName, i, {full.nodes[i]}, false));
    }
    const std::string recording = readAll(path);
    save(out / "index" / "recording.idx", recording);
    save(out / "index" / "torn.idx", recording.substr(0, recording.size() - 7));
    // Completed, a second file removed again, a node run with a gap.
    full.state = 1;
    must(RecordIndexFile::appendFile(posix, path, full, false));
    must(RecordIndexFile::appendFile(posix, path, entry("1704067201500_1.ts", 2, 1), false));
    must(RecordIndexFile::appendRemove(posix, path, "1704067201500_1.ts", false));
    must(RecordIndexFile::appendNodes(posix, path, full.fileName, 7, {full.nodes[0]}, false));
    save(out / "index" / "log.idx", readAll(path));
    // As the parser rewrites it: one entry per file.
    must(RecordIndexFile::rewrite(posix, path, {full, entry("1704067260000.ts", 5, 2)}));
    save(out / "index" / "rewritten.idx", readAll(path));
}

std::string base(unsigned long long v) {
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

std::string bytes(const TsNode& node, size_t packets) {
    const size_t n = std::min(node.data.size(), packets * 188);
    return std::string(reinterpret_cast<const char*>(node.data.data()), n);
}

void frames(const fs::path& out) {
    SyntheticStreamOptions o;
    o.width = 320;
    o.height = 180;
    SyntheticStream h264(o);
    TsNode key, next;
    h264.nextNode(key);
    h264.nextNode(next);
    save(out / "timestamp" / "h264-key", base(900000) + bytes(key, 6));
    save(out / "timestamp" / "h264-frames", base(123456789) + bytes(next, 8));
    o.width = 640;
    o.height = 360;
    o.encoderType = 2;
    o.startDts90k = (1LL << 33) - 1800;  // wraps within the first frames
    SyntheticStream h265(o);
    h265.nextNode(key);
    save(out / "timestamp" / "h265-wrap", base((1ULL << 33) - 900) + bytes(key, 6));
}

void streams(const fs::path& out) {
    auto first = [](SyntheticStream& stream, size_t limit) {
        std::string s;
        TsNode node;
        while (s.size() < limit && stream.nextNode(node)) {
            s.append(reinterpret_cast<const char*>(node.data.data()), node.data.size());
        }
        return s.substr(0, limit / 188 * 188);
    };
    SyntheticStreamOptions o;
    o.width = 320;
    o.height = 180;
    o.gopFrames = 10;
    SyntheticStream h264(o);
    const std::string a = first(h264, 24 * 1024);
    save(out / "import" / "h264.ts", a);
    save(out / "import" / "h264-resync.ts", std::string(100, 'x') + a.substr(0, 8 * 1024));
    o.width = 640;
    o.height = 360;
    o.encoderType = 2;
    o.audio = false;
    SyntheticStream h265(o);
    save(out / "import" / "h265.ts", first(h265, 24 * 1024));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    const fs::path work = fs::temp_directory_path() / "nvr-make-corpus";
    fs::create_directories(work);
    indexes(out, work);
    frames(out);
    streams(out);
    fs::remove_all(work);
    return 0;
}
