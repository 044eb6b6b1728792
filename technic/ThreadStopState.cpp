#include "ThreadStopState.h"

ThreadStopState*& ThreadStopState::current() {
    static thread_local ThreadStopState* state = nullptr;
    return state;
}
