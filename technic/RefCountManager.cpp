#include "RefCountManager.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr std::size_t kShardCount = 16;
constexpr std::size_t kRecordsPerChunk = 64;

// One part of the pool: a first-in first-out list of free records, so a
// handed-back record waits as long as possible before it counts again.
struct PoolShard {
    std::mutex mutex;
    ref_count* head = nullptr;                         // guarded by mutex
    ref_count* tail = nullptr;                         // guarded by mutex
    std::vector<std::unique_ptr<ref_count[]>> chunks;  // guarded by mutex
};

std::size_t shardOf(const void* object) {
    // Objects are at least 16-byte aligned: drop the low bits, mix the rest.
    std::uintptr_t bits = reinterpret_cast<std::uintptr_t>(object) >> 4;
    bits ^= bits >> 7;
    bits ^= bits >> 13;
    return static_cast<std::size_t>(bits % kShardCount);
}

}  // namespace

struct RefCountManager::Impl {
    PoolShard shards[kShardCount];
    std::atomic<long> live{0};
    std::atomic<long> typeMismatches{0};
};

RefCountManager* RefCountManager::getInstance() {
    // Never destroyed: handles in static objects may still be released while
    // the process exits, and records must stay valid memory to the end.
    static RefCountManager* const instance = new RefCountManager();
    return instance;
}

RefCountManager::RefCountManager() : m_impl(new Impl()) {}

ref_count* RefCountManager::retrieveRefCount(const void* object, const char* typeName) {
    PoolShard& shard = m_impl->shards[shardOf(object)];
    ref_count* record = nullptr;
    {
        std::lock_guard<std::mutex> guard(shard.mutex);
        if (shard.head == nullptr) {
            std::unique_ptr<ref_count[]> chunk(new ref_count[kRecordsPerChunk]);
            for (std::size_t i = 0; i + 1 < kRecordsPerChunk; ++i) {
                chunk[i].m_nextFree = &chunk[i + 1];
            }
            shard.head = &chunk[0];
            shard.tail = &chunk[kRecordsPerChunk - 1];
            shard.chunks.push_back(std::move(chunk));
        }
        record = shard.head;
        shard.head = record->m_nextFree;
        if (shard.head == nullptr) shard.tail = nullptr;
        record->m_nextFree = nullptr;
    }
    // A stale handle in another thread may be looking at this record: change
    // it only under its lock.
    record->lock();
    record->m_pointer = const_cast<void*>(object);
    record->m_count = 1;
    record->m_typeName = typeName;
    record->unLock();
    m_impl->live.fetch_add(1, std::memory_order_relaxed);
    return record;
}

void RefCountManager::returnbackRefCount(ref_count* record, const char* typeName) {
    if (record->m_typeName != typeName && (record->m_typeName == nullptr || typeName == nullptr ||
                                           std::strcmp(record->m_typeName, typeName) != 0)) {
        m_impl->typeMismatches.fetch_add(1, std::memory_order_relaxed);
    }
    PoolShard& shard = m_impl->shards[shardOf(record->m_pointer)];
    record->m_pointer = nullptr;
    record->m_count = 0;
    record->m_typeName = nullptr;
    {
        std::lock_guard<std::mutex> guard(shard.mutex);
        if (shard.tail == nullptr) {
            shard.head = record;
        } else {
            shard.tail->m_nextFree = record;
        }
        shard.tail = record;
    }
    m_impl->live.fetch_sub(1, std::memory_order_relaxed);
}

long RefCountManager::liveCount() const { return m_impl->live.load(std::memory_order_relaxed); }

long RefCountManager::typeMismatchCount() const {
    return m_impl->typeMismatches.load(std::memory_order_relaxed);
}
