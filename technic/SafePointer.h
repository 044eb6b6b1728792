#ifndef TECHNIC_SAFEPOINTER_H
#define TECHNIC_SAFEPOINTER_H

#include <cstdio>
#include <exception>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "RefCountManager.h"
#include "TQRuntimeError.h"

// Polymorphic root of every SafePointer<T>; it holds no data.
// Its destructor may throw, so that a handle's failed release can leave the
// handle's destructor.
class BaseSafePointer {
  public:
    virtual ~BaseSafePointer() noexcept(false) {}
};

// Reference-counted handle to an object created with new.
//
// Neither the handle nor the object keeps the count: the handle asks
// RefCountManager for a ref_count record keyed by the object's address and the
// run-time type name of T, and every handle to that object shares the record.
// Each acquisition and release checks, under the record's own lock, that the
// record still counts the same object, so a stale handle (whose record was
// handed back and reused) is detected instead of corrupting another count.
//
// Misuse is reported: the text "SafePointer Report:<type name> <message>" is
// printed to standard output and thrown as TQRuntimeError. Every failure while
// the record is locked unlocks it before the exception leaves.
//
// Thread safety: handles to one object may be copied and released in
// different threads at once. A single handle object is not synchronised; its
// owner keeps it from being assigned in one thread while another uses it.
template <class T>
class SafePointer : public BaseSafePointer {
  public:
    SafePointer() : m_object(nullptr), m_record(nullptr) {}

    // Wraps a newly created object and takes its first reference. If no
    // record can be had (out of memory), the object is deleted and the error
    // passed on, so it does not leak.
    explicit SafePointer(T* object) : m_object(object), m_record(nullptr) {
        if (object == nullptr) report("Construct from NULL original pointer");
        try {
            m_record =
                RefCountManager::getInstance()->retrieveRefCount(address(object), typeName());
        } catch (...) {
            delete object;
            throw;
        }
    }

    SafePointer(const SafePointer& other) : m_object(nullptr), m_record(nullptr) {
        if (other.m_object == nullptr) report("Construct from NULL <T>pointer");
        inc_reference(other);
    }

    // Gives up this handle's reference, then shares the source's object. When
    // the acquire fails, this handle is left empty.
    SafePointer& operator=(const SafePointer& other) {
        if (this == &other) return *this;
        if (other.m_object == nullptr) report("Assigned NULL <T>pointer");
        dec_reference();
        inc_reference(other);
        return *this;
    }

    // A failed release (stale record) lets TQRuntimeError leave the destructor,
    // except while another exception is already unwinding the stack, where a
    // second one would end the process; the handle is then dropped silently.
    ~SafePointer() noexcept(false) override {
        if (std::uncaught_exceptions() == 0) {
            dec_reference();
            return;
        }
        try {
            dec_reference();
        } catch (const TQRuntimeError&) {
        }
    }

    T* operator->() const {
        if (m_object == nullptr) report("Use NULL pointer ->");
        return m_object;
    }

    T& operator*() const {
        if (m_object == nullptr) report("Use NULL pointer *");
        return *m_object;
    }

    // Conveniences beyond the handle's core operations.
    T* get() const { return m_object; }
    bool isNull() const { return m_object == nullptr; }
    explicit operator bool() const { return m_object != nullptr; }
    bool operator==(const SafePointer& other) const { return m_object == other.m_object; }
    bool operator!=(const SafePointer& other) const { return m_object != other.m_object; }

    // The release step: destruction and assignment call it. The handle is
    // empty afterwards, also when it fails. The last release deletes the object
    // (in this thread, with the record locked) and hands the record back. The
    // handle itself is not touched after the delete: it may live inside the
    // object.
    void dec_reference() {
        if (m_object == nullptr) return;
        T* object = m_object;
        ref_count* record = m_record;
        m_object = nullptr;
        m_record = nullptr;
        record->lock();
        if (record->getPointer() != address(object)) {
            record->unLock();
            throw TQRuntimeError("not valid pointer in dec_reference");
        }
        if (record->dec_reference() == 0) {
            try {
                delete object;
            } catch (...) {
                RefCountManager::getInstance()->returnbackRefCount(record, typeName());
                record->unLock();
                throw;
            }
            RefCountManager::getInstance()->returnbackRefCount(record, typeName());
        }
        record->unLock();
    }

    // The mangled run-time type name of T, as the records are keyed.
    static const char* typeName() { return typeid(T).name(); }

  private:
    // The acquire step: takes a new reference from `source` into this handle,
    // which is empty on entry.
    void inc_reference(const SafePointer& source) {
        ref_count* record = source.m_record;
        if (record == nullptr) report("Already destructed 1");
        if (record->lock() != 0) report("Already destructed 2");
        if (record->getPointer() != address(source.m_object)) {
            record->unLock();
            throw TQRuntimeError("not valid pointer in inc_reference ");
        }
        if (record->inc_reference() == 0) {
            record->unLock();
            report("Already destructed 3");
        }
        record->unLock();
        m_object = source.m_object;
        m_record = record;
    }

    static void* address(T* object) {
        return static_cast<void*>(const_cast<std::remove_cv_t<T>*>(object));
    }

    [[noreturn]] static void report(const char* message) {
        std::string text = "SafePointer Report:";
        text += typeName();
        text += ' ';
        text += message;
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        throw TQRuntimeError(text);
    }

    // Gives tests access to the record, to produce the failures a correct
    // program cannot reach.
    friend struct SafePointerTestPeer;

    T* m_object;
    ref_count* m_record;
};

#endif  // TECHNIC_SAFEPOINTER_H
