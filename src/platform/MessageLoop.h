#pragma once
// The calling thread's message loop, for operations that wait without freezing
// their window: they start asynchronous work and pump until it is done.

#include <functional>

namespace qordex {

// Chooses, before the application object exists, the plain poll loop for
// every thread of a process without windows.  Its wakeups cost one system
// call per round of the loop, where the default loop pays one per posted
// message and per notifier switched on or off: the price of every request a
// busy server answers.  A process with windows keeps the default loop, which
// its desktop's dialogs may rely on.
void UseLeanMessageLoop();

// Processes the events pending for the calling thread and returns.
void PumpMessages();

// Pumps the calling thread's loop until `done` returns true or `timeoutMs`
// passes (a negative timeout waits for ever).  Returns the last value of `done`.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = -1);

} // namespace qordex
