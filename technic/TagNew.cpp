#include "TagNew.h"

#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

namespace {

std::mutex& countsMutex() {
    static std::mutex mutex;
    return mutex;
}

// Tagged allocations per source file. Guarded by countsMutex().
std::unordered_map<std::string, long>& counts() {
    static auto* const map = new std::unordered_map<std::string, long>();
    return *map;
}

}  // namespace

void* operator new(std::size_t size, const char* file, int /*line*/) {
    void* p = ::operator new(size);
    try {
        std::lock_guard<std::mutex> guard(countsMutex());
        ++counts()[file != nullptr ? file : "?"];
    } catch (...) {
        ::operator delete(p);
        throw;
    }
    return p;
}

void operator delete(void* p, const char* /*file*/, int /*line*/) noexcept { ::operator delete(p); }

long tagNewCount(const char* file) {
    std::lock_guard<std::mutex> guard(countsMutex());
    auto it = counts().find(file != nullptr ? file : "?");
    return it == counts().end() ? 0 : it->second;
}
