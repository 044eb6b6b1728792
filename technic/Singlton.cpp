#include "Singlton.h"

#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Registered {
    void* instance;
    void (*destroy)(void*);
};

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

// In order of creation. Guarded by registryMutex().
std::vector<Registered>& registry() {
    static std::vector<Registered>* const list = new std::vector<Registered>();
    return *list;
}

}  // namespace

void addSingltonInstance(void* instance, void (*destroy)(void*)) {
    std::lock_guard<std::mutex> guard(registryMutex());
    registry().push_back(Registered{instance, destroy});
}

void destroyAllSingltonInstances() {
    // One at a time and outside the registry lock: a destructor may use (and
    // so create and register) another singleton, which is then destroyed in
    // this same pass.
    for (;;) {
        Registered last;
        {
            std::lock_guard<std::mutex> guard(registryMutex());
            if (registry().empty()) return;
            last = registry().back();
            registry().pop_back();
        }
        last.destroy(last.instance);
    }
}
