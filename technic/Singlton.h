#ifndef TECHNIC_SINGLTON_H
#define TECHNIC_SINGLTON_H

#include <atomic>

#include "BasicMutex.h"
#include "TechnicExport.h"

// Registry of the process's singletons, so that the host (and tests) can
// destroy them all, in reverse order of creation.
class TECHNIC_EXPORT SingltonBase {
  public:
    virtual ~SingltonBase() {}
};

// Registers an instance created by Singlton<T>::getInstance; `destroy` deletes
// it and clears the singleton's pointer.
TECHNIC_EXPORT void addSingltonInstance(void* instance, void (*destroy)(void*));

// Destroys every registered singleton, the last created first. After it, the
// next getInstance creates a new instance.
TECHNIC_EXPORT void destroyAllSingltonInstances();

// Process-wide instance of T, created on first use by T::createInstance().
// The unlocked first check reads an atomic pointer (acquire); creation runs
// under the class's BasicMutex with a second check and publishes the pointer
// with release, so concurrent first callers get one instance.
//
// Default visibility: a library built with hidden symbols must still share the
// one m_instance of each Singlton<T> with the rest of the process (with T's
// class also visible), instead of keeping a copy of its own.
template <class T>
class __attribute__((visibility("default"))) Singlton {
  public:
    // The argument is kept for the host's signature; it does not change what is
    // returned.
    static T* getInstance(int = 0) {
        T* instance = m_instance.load(std::memory_order_acquire);
        if (instance == nullptr) {
            m_mutex.B_Lock();
            instance = m_instance.load(std::memory_order_relaxed);
            if (instance == nullptr) {
                try {
                    instance = T::createInstance();
                } catch (...) {
                    m_mutex.B_Unlock();
                    throw;
                }
                m_instance.store(instance, std::memory_order_release);
                addSingltonInstance(instance, &Singlton<T>::destroy);
            }
            m_mutex.B_Unlock();
        }
        return instance;
    }

    // The instance, or null when none has been created (no creation).
    static T* peekInstance() { return m_instance.load(std::memory_order_acquire); }

    static BasicMutex m_mutex;

  private:
    static void destroy(void* instance) {
        m_mutex.B_Lock();
        m_instance.store(nullptr, std::memory_order_release);
        m_mutex.B_Unlock();
        delete static_cast<T*>(instance);
    }
    static std::atomic<T*> m_instance;
};

template <class T>
BasicMutex Singlton<T>::m_mutex;
template <class T>
std::atomic<T*> Singlton<T>::m_instance{nullptr};

#endif  // TECHNIC_SINGLTON_H
