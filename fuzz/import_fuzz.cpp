// The .ts import over arbitrary bytes: TsFileImporter splits the file into
// nodes without reading or writing out of bounds, ends, and gives out only
// whole packets that start with the sync byte. Every input packet goes into
// at most one node; a node adds at most a PAT and a PMT of its own.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "FuzzSupport.h"
#include "RecordResult.h"
#include "TsStream.h"

namespace {

const size_t kPacket = 188;

// The input as a file the importer can open by name, in memory.
int memoryFile() {
    static const int fd = memfd_create("import-fuzz", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLog();
    FUZZ_CHECK(memoryFile() >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memoryFile();
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    TsFileImporter importer;
    const int r = importer.open(path);
    if (r != kRecordOk) {
        FUZZ_CHECK(r == kRecordCorrupt);
        return 0;
    }
    TsNode node;
    size_t nodes = 0, bytes = 0;
    while (importer.nextNode(node)) {
        ++nodes;
        bytes += node.data.size();
        FUZZ_CHECK(!node.data.empty() && node.data.size() % kPacket == 0);
        for (size_t at = 0; at < node.data.size(); at += kPacket) FUZZ_CHECK(node.data[at] == 0x47);
        FUZZ_CHECK(node.timeLenMs >= 0);
        FUZZ_CHECK(node.width >= 0 && node.height >= 0);
        FUZZ_CHECK(node.encoderType >= 0 && node.encoderType <= 2);
        FUZZ_CHECK(bytes <= (size / kPacket + 2 * nodes) * kPacket);
    }
    importer.close();
    return 0;
}
