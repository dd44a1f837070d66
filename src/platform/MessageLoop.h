#pragma once
// The calling thread's message loop, for operations that wait without freezing
// their window: they start asynchronous work and pump until it is done.

#include <functional>

namespace qordex {

// Processes the events pending for the calling thread and returns.
void PumpMessages();

// Pumps the calling thread's loop until `done` returns true or `timeoutMs`
// passes (a negative timeout waits for ever).  Returns the last value of `done`.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = -1);

} // namespace qordex
