#ifndef TECHNIC_REFCOUNTMANAGER_H
#define TECHNIC_REFCOUNTMANAGER_H

#include <atomic>
#include <thread>

#include "TechnicExport.h"

// Reference-count records for SafePointer handles.
//
// A ref_count counts the handles of one object. RefCountManager hands records
// out (retrieveRefCount) and takes them back after the last release
// (returnbackRefCount). Records are pooled and never freed while the process
// runs: a record that was handed back stays valid memory, because the
// releasing handle still unlocks it, and it is handed out again for another
// object later. A stale handle is detected because the record then counts
// another object (getPointer() differs). Free records are reused oldest first,
// so a record comes back to an object at the very same address (which a stale
// handle could not tell apart) only after the whole free pool has turned over.
//
// Thread safety: every record has a lock of its own; copies and releases of
// handles to different objects never contend. The manager's pool is split in
// shards with a lock each, taken only when an object is wrapped or its last
// reference goes.
class ref_count {
  public:
    ref_count() = default;
    ref_count(const ref_count&) = delete;
    ref_count& operator=(const ref_count&) = delete;

    // Locks the record. Returns 0 when it is locked, non-zero when it cannot be:
    // the calling thread holds it already (for example a copy made from inside
    // the destructor of the object whose last release holds the lock), where
    // waiting would never end.
    int lock() {
        const std::thread::id self = std::this_thread::get_id();
        if (m_owner.load(std::memory_order_relaxed) == self) return 1;
        for (int spins = 0; m_lock.test_and_set(std::memory_order_acquire); ++spins) {
            if (spins > 64) std::this_thread::yield();
        }
        m_owner.store(self, std::memory_order_relaxed);
        return 0;
    }
    // REQUIRES: the calling thread holds the lock.
    void unLock() {
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
        m_lock.clear(std::memory_order_release);
    }

    // The object address this record counts at present (null while pooled).
    // REQUIRES: the record is locked.
    void* getPointer() const { return m_pointer; }

    // Adds a reference. Returns non-zero on success and 0 when the object is
    // already going away (no reference left). REQUIRES: locked.
    int inc_reference() const {
        if (m_count <= 0) return 0;
        ++m_count;
        return 1;
    }
    // Removes a reference. Returns the number left (0 when none is left).
    // REQUIRES: locked.
    int dec_reference() {
        if (m_count > 0) --m_count;
        return m_count;
    }

    // The number of references. REQUIRES: locked.
    int getCount() const { return m_count; }
    // The type name given when the record was handed out (null while pooled).
    // REQUIRES: locked.
    const char* getTypeName() const { return m_typeName; }

  private:
    friend class RefCountManager;
    std::atomic_flag m_lock = ATOMIC_FLAG_INIT;
    std::atomic<std::thread::id> m_owner{};
    void* m_pointer = nullptr;         // guarded by m_lock
    mutable int m_count = 0;           // guarded by m_lock
    const char* m_typeName = nullptr;  // guarded by m_lock
    ref_count* m_nextFree = nullptr;   // guarded by the pool shard's lock
};

class TECHNIC_EXPORT RefCountManager {
  public:
    static RefCountManager* getInstance();

    // Returns a record that counts `object` with one reference (the caller's).
    // Never null; throws std::bad_alloc when the pool cannot grow.
    ref_count* retrieveRefCount(const void* object, const char* typeName);
    // Takes a record back after its last release. REQUIRES: the caller holds
    // the record's lock (it unlocks it afterwards). The record stays valid
    // memory and may be handed out again.
    void returnbackRefCount(ref_count* record, const char* typeName);

    // Records that are handed out now (for tests and leak checks).
    long liveCount() const;
    // Hand-backs whose type name differed from the one given when the record
    // was handed out (a handle released under another type than it was
    // wrapped with); 0 in a correct program.
    long typeMismatchCount() const;

    struct Impl;

  private:
    RefCountManager();
    Impl* m_impl;
};

#endif  // TECHNIC_REFCOUNTMANAGER_H
