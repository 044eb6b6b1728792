#include "RecordDropCounter.h"

#include <map>
#include <mutex>
#include <utility>

namespace {

// Never destroyed: a job's thread may still count while the process exits.
std::mutex& g_lock = *new std::mutex;
// guarded by g_lock
std::map<std::pair<std::string, int>, RecordDropCounter::Counts>& g_counts =
    *new std::map<std::pair<std::string, int>, RecordDropCounter::Counts>;

}  // namespace

const char* RecordDropCounter::reasonText(int reason) {
    switch (reason) {
        case kBadPackets:
            return "failed the packet check";
        case kFirstWriteFull:
            return "did not fit the segment of a new file";
        case kNoFileToStart:
            return "came before a frame that may start a file";
        default:
            return "dropped";
    }
}

long long RecordDropCounter::note(const std::string& deviceId, int cameraId, int reason) {
    if (reason < 0 || reason >= kReasonCount) reason = kBadPackets;
    std::lock_guard<std::mutex> guard(g_lock);
    Counts& c = g_counts[{deviceId, cameraId}];
    ++c.byReason[reason];
    return c.total();
}

RecordDropCounter::Counts RecordDropCounter::counts(const std::string& deviceId, int cameraId) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_counts.find({deviceId, cameraId});
    return it == g_counts.end() ? Counts() : it->second;
}

std::string RecordDropCounter::describe(const Counts& counts) {
    std::string out = std::to_string(counts.total()) + " frame(s)";
    if (counts.total() == 0) return out;
    std::string parts;
    for (int r = 0; r < kReasonCount; ++r) {
        if (counts.byReason[r] == 0) continue;
        if (!parts.empty()) parts += ", ";
        parts += std::to_string(counts.byReason[r]) + " " + reasonText(r);
    }
    return out + " (" + parts + ")";
}

void RecordDropCounter::reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_counts.clear();
}
