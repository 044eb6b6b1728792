#include "store/BackupDisk.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "RecordResult.h"
#include "WakeEvent.h"
#include "store/FileSystem.h"

const char* const BackupDisk::kMarkerName = ".nvr-backup-disk";

namespace {

const char kMagic[] = "nvr-backup-disk 1\n";
const size_t kIdDigits = 32;

bool isHexId(const std::string& id) {
    if (id.size() != kIdDigits) return false;
    for (char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// Parses "<magic>id=<32 hex>\n". Empty when the text is not a marker.
std::string parseMarker(const std::string& text) {
    const std::string magic = kMagic;
    if (text.compare(0, magic.size(), magic) != 0) return std::string();
    const std::string rest = text.substr(magic.size());
    if (rest.compare(0, 3, "id=") != 0) return std::string();
    const size_t end = rest.find('\n', 3);
    if (end == std::string::npos) return std::string();
    std::string id = rest.substr(3, end - 3);
    return isHexId(id) ? id : std::string();
}

std::string newId() {
    unsigned char bytes[kIdDigits / 2];
    bool filled = false;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        filled = ::read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
        ::close(fd);
    }
    if (!filled) {
        std::mt19937_64 gen(static_cast<unsigned long long>(
                                std::chrono::steady_clock::now().time_since_epoch().count()) ^
                            static_cast<unsigned long long>(::getpid()));
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(gen());
    }
    std::string id;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        id += hex;
    }
    return id;
}

}  // namespace

int BackupDisk::prepare(FileSystem& fs, const std::string& root, std::string& id) {
    if (!fsutil::isDir(fs, root)) return kRecordNotFound;
    const std::string marker = fsutil::join(root, kMarkerName);
    std::string text;
    if (fsutil::readFile(fs, marker, text) == kRecordOk) {
        id = parseMarker(text);
        if (!id.empty()) {
            WakeEvent::work().notify();  // jobs waiting for a backup disk try again
            return kRecordOk;
        }
    }
    const std::string fresh = newId();
    int r = fsutil::writeFileAtomic(fs, marker, std::string(kMagic) + "id=" + fresh + "\n");
    if (r != kRecordOk) return r;
    id = fresh;
    WakeEvent::work().notify();
    return kRecordOk;
}

int BackupDisk::identify(FileSystem& fs, const std::string& root, BackupDiskIdentity& out) {
    FileStat st;
    int r = fs.stat(root, st);
    if (r != kRecordOk) return r;
    if (!st.isDir) return kRecordNotFound;
    std::string text;
    r = fsutil::readFile(fs, fsutil::join(root, kMarkerName), text);
    if (r == kRecordNotFound) return kRecordNotPrepared;
    if (r != kRecordOk) return r;
    std::string id = parseMarker(text);
    if (id.empty()) return kRecordNotPrepared;
    out.id = std::move(id);
    out.device = st.device;
    out.inode = st.inode;
    return kRecordOk;
}

std::string BackupDisk::notPreparedMessage(const std::string& root) {
    return root + " is not a prepared backup disk; prepare it with: nvr-backup prepare-disk " +
           root;
}
