#include "store/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "RecordResult.h"

// Without it a 32-bit build cuts sizes past 2 GiB in ftruncate and fails
// stat and readdir with EOVERFLOW (cmake/NvrPlatform.cmake defines it).
static_assert(sizeof(off_t) == 8, "record files need a 64-bit off_t: _FILE_OFFSET_BITS=64");

int resultFromErrno(int err) {
    switch (err) {
        case 0:
            return kRecordOk;
        case ENOENT:
        case ENOTDIR:
            return kRecordNotFound;
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return kRecordNoSpace;
        case EEXIST:
            return kRecordExists;
        default:
            return kRecordIOError;
    }
}

namespace {

class PosixFileSystem final : public FileSystem {
  public:
    int open(const std::string& path, int mode, int& fd) override {
        int flags = O_CLOEXEC;
        switch (mode) {
            case kRead:
                flags |= O_RDONLY;
                break;
            case kCreateNew:
                flags |= O_WRONLY | O_CREAT | O_EXCL;
                break;
            case kAppend:
                flags |= O_WRONLY | O_CREAT | O_APPEND;
                break;
            case kCreateTrunc:
                flags |= O_WRONLY | O_CREAT | O_TRUNC;
                break;
            default:
                return kRecordFailed;
        }
        int r;
        do {
            r = ::open(path.c_str(), flags, 0644);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return resultFromErrno(errno);
        fd = r;
        return kRecordOk;
    }

    int read(int fd, char* buffer, int count) override {
        if (count <= 0) return 0;
        ssize_t r;
        do {
            r = ::read(fd, buffer, static_cast<size_t>(count));
        } while (r < 0 && errno == EINTR);
        if (r < 0) return resultFromErrno(errno);
        return static_cast<int>(r);
    }

    int readAt(int fd, char* buffer, int count, long long offset) override {
        if (count <= 0) return 0;
        ssize_t r;
        do {
            r = ::pread(fd, buffer, static_cast<size_t>(count), static_cast<off_t>(offset));
        } while (r < 0 && errno == EINTR);
        if (r < 0) return resultFromErrno(errno);
        return static_cast<int>(r);
    }

    int write(int fd, const char* buffer, int count) override {
        int done = 0;
        while (done < count) {
            ssize_t r = ::write(fd, buffer + done, static_cast<size_t>(count - done));
            if (r < 0) {
                if (errno == EINTR) continue;
                return resultFromErrno(errno);
            }
            done += static_cast<int>(r);
        }
        return done;
    }

    int fsync(int fd) override { return ::fsync(fd) == 0 ? kRecordOk : resultFromErrno(errno); }

    int startWriteback(int fd, long long offset, long long length) override {
#ifdef SYNC_FILE_RANGE_WRITE
        if (::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                              SYNC_FILE_RANGE_WRITE) != 0) {
            return resultFromErrno(errno);
        }
#else
        (void)fd;
        (void)offset;
        (void)length;
#endif
        return kRecordOk;
    }

    int truncate(int fd, long long size) override {
        return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? kRecordOk : resultFromErrno(errno);
    }

    int close(int fd) override { return ::close(fd) == 0 ? kRecordOk : resultFromErrno(errno); }

    int rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0 ? kRecordOk : resultFromErrno(errno);
    }

    int unlink(const std::string& path) override {
        return ::unlink(path.c_str()) == 0 ? kRecordOk : resultFromErrno(errno);
    }

    int mkdir(const std::string& path) override {
        return ::mkdir(path.c_str(), 0755) == 0 ? kRecordOk : resultFromErrno(errno);
    }

    int list(const std::string& dir, std::vector<std::string>& names) override {
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) return resultFromErrno(errno);
        names.clear();
        errno = 0;
        while (struct dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            names.emplace_back(e->d_name);
        }
        int err = errno;
        ::closedir(d);
        return err == 0 ? kRecordOk : resultFromErrno(err);
    }

    int stat(const std::string& path, FileStat& st) override {
        struct stat s;
        if (::lstat(path.c_str(), &s) != 0) return resultFromErrno(errno);
        st.isLink = S_ISLNK(s.st_mode);
        if (st.isLink && ::stat(path.c_str(), &s) != 0) return resultFromErrno(errno);
        st.isDir = S_ISDIR(s.st_mode);
        st.isOther = !st.isDir && !S_ISREG(s.st_mode);
        st.size = static_cast<long long>(s.st_size);
        st.mtimeSeconds = static_cast<long long>(s.st_mtim.tv_sec);
        st.mtimeNanos = static_cast<long>(s.st_mtim.tv_nsec);
        st.device = static_cast<unsigned long long>(s.st_dev);
        st.inode = static_cast<unsigned long long>(s.st_ino);
        return kRecordOk;
    }

    int freeSpace(const std::string& path, long long& bytes) override {
        struct statvfs v;
        if (::statvfs(path.c_str(), &v) != 0) return resultFromErrno(errno);
        bytes = static_cast<long long>(v.f_bavail) * static_cast<long long>(v.f_frsize);
        return kRecordOk;
    }

    int syncDir(const std::string& dir) override {
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return resultFromErrno(errno);
        int r = ::fsync(fd) == 0 ? kRecordOk : resultFromErrno(errno);
        ::close(fd);
        return r;
    }
};

}  // namespace

FileSystem* posixFileSystem() {
    static PosixFileSystem fs;
    return &fs;
}

namespace fsutil {

void joinInto(std::string& out, const std::string& a, const std::string& b) {
    out.assign(a);
    if (!a.empty() && a.back() != '/') out.push_back('/');
    out.append(b);
}

std::string join(const std::string& a, const std::string& b) {
    std::string out;
    joinInto(out, a, b);
    return out;
}

bool isNormal(const std::string& path) {
    if (path.size() > 1 && path.back() == '/') return false;
    return path.find("//") == std::string::npos;
}

std::string normalize(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string dirName(const std::string& path) {
    size_t p = path.find_last_of('/');
    if (p == std::string::npos) return "";
    if (p == 0) return "/";
    return path.substr(0, p);
}

std::string baseName(const std::string& path) {
    size_t p = path.find_last_of('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

bool isDir(FileSystem& fs, const std::string& path) {
    FileStat st;
    return fs.stat(path, st) == kRecordOk && st.isDir;
}

bool isOwnDir(FileSystem& fs, const std::string& path) {
    FileStat st;
    return fs.stat(path, st) == kRecordOk && st.isDir && !st.isLink;
}

int makeDirsBelow(FileSystem& fs, const std::string& base, const std::string& relative) {
    FileStat st;
    if (int r = fs.stat(base, st)) return r;
    if (!st.isDir) return kRecordNotFound;
    std::string path = base;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        if (end > start) {
            path = join(path, relative.substr(start, end - start));
            int r = fs.mkdir(path);
            if (r == kRecordOk) {
                // Make the new name durable in its parent.
                int s = fs.syncDir(dirName(path));
                if (s != kRecordOk) return s;
            } else if (r != kRecordExists) {
                return r;
            } else {
                // A level that is there already must be a folder of its own:
                // a link would lead the files below it out of the root.
                FileStat level;
                r = fs.stat(path, level);
                if (r != kRecordOk) return r;
                if (level.isLink || !level.isDir) return kRecordBadName;
            }
        }
        start = end + 1;
    }
    return kRecordOk;
}

int readFile(FileSystem& fs, const std::string& path, std::string& out) {
    int fd = -1;
    int r = fs.open(path, FileSystem::kRead, fd);
    if (r != kRecordOk) return r;
    out.clear();
    char buffer[65536];
    for (;;) {
        int n = fs.read(fd, buffer, sizeof buffer);
        if (n < 0) {
            fs.close(fd);
            return n;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    fs.close(fd);
    return kRecordOk;
}

int writeAll(FileSystem& fs, int fd, const std::string& data) {
    if (data.empty()) return kRecordOk;
    int n = fs.write(fd, data.data(), static_cast<int>(data.size()));
    if (n < 0) return n;
    return n == static_cast<int>(data.size()) ? kRecordOk : kRecordIOError;
}

int writeFileAtomic(FileSystem& fs, const std::string& path, const std::string& data) {
    const std::string tmp = path + ".tmp";
    int fd = -1;
    int r = fs.open(tmp, FileSystem::kCreateTrunc, fd);
    if (r != kRecordOk) return r;
    r = writeAll(fs, fd, data);
    if (r == kRecordOk) r = fs.fsync(fd);
    int c = fs.close(fd);
    if (r == kRecordOk) r = c;
    if (r == kRecordOk) r = fs.rename(tmp, path);
    if (r != kRecordOk) {
        (void)fs.unlink(tmp);
        return r;
    }
    return fs.syncDir(dirName(path));
}

}  // namespace fsutil
