#pragma once
// Waiting for "nothing happens" without waiting by the clock: once nothing
// can be posted any more (a thread has ended, a lookup has returned), a
// sentinel posted behind everything already queued tells when all of it has
// been dispatched.

#include "platform/AsyncLookup.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <chrono>
#include <thread>

namespace qordex::test {

// Dispatches everything posted to this thread so far; false on a timeout.
inline bool DrainQueue(int timeoutMs = 20000) {
    bool reached = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&reached] { reached = true; }, Qt::QueuedConnection);
    return PumpUntil([&reached] { return reached; }, timeoutMs);
}

// Waits for a state other threads reach, without dispatching anything on
// this one (what they post stays queued); false on a timeout.
template<class Condition> bool WaitWithoutPumping(Condition done, int timeoutMs = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until no resolver call is running any more (none can post a
// completion after that), then dispatches what they posted.
inline bool DrainLookups(int timeoutMs = 30000) {
    return WaitWithoutPumping([] { return LookupsRunning() == 0; }, timeoutMs) &&
           DrainQueue(timeoutMs);
}

} // namespace qordex::test
