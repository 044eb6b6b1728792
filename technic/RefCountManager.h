#ifndef TECHNIC_REFCOUNTMANAGER_H
#define TECHNIC_REFCOUNTMANAGER_H

#include <atomic>
#include <thread>

// Reference-count records for SafePointer handles.
//
// A ref_count counts the handles of one object. RefCountManager hands records
// out (retrieveRefCount) and takes them back after the last release
// (returnbackRefCount). Records are pooled and never freed while the process
// runs: a record that was handed back stays valid memory, because the
// releasing handle still unlocks it, and it may be handed out again for another
// object. A stale handle is detected because the record then counts another
// object (getPointer() differs).
//
// Thread safety: every record has a lock of its own; copies and releases of
// handles to different objects never contend. The manager's pool lock is only
// taken when an object is wrapped or its last reference goes.
class ref_count {
public:
    ref_count() = default;
    ref_count(const ref_count&) = delete;
    ref_count& operator=(const ref_count&) = delete;

    // Locks the record. Returns 0 when it is locked, non-zero when it cannot be.
    int lock() {
        for (int spins = 0; m_lock.test_and_set(std::memory_order_acquire); ++spins) {
            if (spins > 64) std::this_thread::yield();
        }
        return 0;
    }
    void unLock() { m_lock.clear(std::memory_order_release); }

    // The object address this record counts at present (null while pooled).
    // REQUIRES: the record is locked, or the caller owns a reference.
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

    int getCount() const { return m_count; }

private:
    friend class RefCountManager;
    std::atomic_flag m_lock = ATOMIC_FLAG_INIT;
    void* m_pointer = nullptr;
    mutable int m_count = 0;
    const char* m_typeName = nullptr;
    ref_count* m_nextFree = nullptr;
};

class RefCountManager {
public:
    static RefCountManager* getInstance();

    // Returns a record that counts `object` with one reference (the caller's).
    ref_count* retrieveRefCount(const void* object, const char* typeName);
    // Takes a record back after its last release. The record stays valid
    // memory and may be handed out again.
    void returnbackRefCount(ref_count* record, const char* typeName);

    // Records that are handed out now (for tests and leak checks).
    long liveCount() const;

private:
    RefCountManager();
    struct Impl;
    Impl* m_impl;
};

#endif  // TECHNIC_REFCOUNTMANAGER_H
