#pragma once
// Host-name lookups that run on a background thread and complete on the
// thread that started them, through that thread's message queue.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qordex {

class HiddenWindow;

struct LookupResult {
    int error = 0;                    // 0, or a resolver error number (11001 ...)
    std::vector<std::uint32_t> addrs; // IPv4 addresses, network byte order, resolver order
    std::string name;                 // canonical name (forward) or host name (reverse)
    std::vector<std::string> aliases; // the host's other names (reverse lookups)
};

using LookupId = std::uint64_t;

// Blocking forward lookup of an IPv4 host name.
LookupResult ResolveHostBlocking(const std::string& host);

// Blocking reverse lookup of an IPv4 address (network byte order): the
// host's official name and its aliases.
LookupResult ResolveAddrBlocking(std::uint32_t addr);

// Starts a forward lookup; `done` runs later on the thread that owns `target`,
// never inside this call.  Returns a non-zero identifier.
LookupId StartHostLookup(HiddenWindow* target, const std::string& host,
                         std::function<void(const LookupResult&)> done);

// Starts a reverse lookup of an IPv4 address (network byte order).
LookupId StartAddrLookup(HiddenWindow* target, std::uint32_t addr,
                         std::function<void(const LookupResult&)> done);

// Cancels a pending lookup: its result, even one already queued, is dropped.
// Returns false when the lookup is unknown or already completed.
bool CancelLookup(LookupId id);

// Cancels every lookup that completes into `target` (called when it dies).
void CancelLookupsFor(HiddenWindow* target);

// Lookups whose resolver call has not returned yet, cancelled ones included.
// Once it is 0 nothing more is posted: tests wait for that before they check
// that a cancelled lookup stayed silent.
int LookupsRunning();

} // namespace qordex
