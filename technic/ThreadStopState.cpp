#include "ThreadStopState.h"

ThreadStopState*& ThreadStopState::current() {
    static thread_local ThreadStopState* state = nullptr;
    return state;
}

WakeEvent& WakeEvent::work() {
    static WakeEvent* event = new WakeEvent;  // used until the process ends
    return *event;
}
