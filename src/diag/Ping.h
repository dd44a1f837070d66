#pragma once
// TPing: the component over one TICMP.  It publishes the engine's settings,
// forwards its hooks as events, and adds an asynchronous host-name lookup
// whose completion arrives through the creating thread's message queue.
// A TPing belongs to the thread that created it; that thread must keep
// dispatching its messages while a lookup is pending.

#include "diag/Icmp.h"
#include "platform/AsyncLookup.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qordex {
class HiddenWindow;
}

namespace qordex::diag {

class TPing {
public:
    // Creates the TICMP (its TICMPException propagates) and the message
    // endpoint that receives lookup completions.
    explicit TPing(IcmpSocketKind kind = IcmpSocketKind::Auto);
    // Cancels a pending lookup first, so that it still ends with
    // OnDnsLookupDone(10004).
    virtual ~TPing();
    TPing(const TPing&) = delete;
    TPing& operator=(const TPing&) = delete;

    // One echo exchange with the current settings (TICMP::Ping).
    virtual int Ping();
    // Starts resolving `hostName`.  A dotted IPv4 address completes at once,
    // inside this call; a name completes later, from the message loop.
    virtual void DnsLookup(const std::string& hostName);
    // Ends a pending lookup with OnDnsLookupDone(10004); nothing when none is pending.
    void CancelLookup();

    const std::string& Address() const { return icmp_->Address(); }
    void SetAddress(const std::string& address) { icmp_->SetAddress(address); }
    int Size() const { return icmp_->Size(); }
    void SetSize(int size) { icmp_->SetSize(size); }
    int Timeout() const { return icmp_->Timeout(); }
    void SetTimeout(int timeout) { icmp_->SetTimeout(timeout); }
    int TTL() const { return icmp_->TTL(); }
    void SetTTL(int ttl) { icmp_->SetTTL(ttl); }
    int Flags() const { return icmp_->Flags(); }
    void SetFlags(int flags) { icmp_->SetFlags(flags); }

    IcmpEchoReply Reply() const { return icmp_->Reply(); }
    std::string ErrorString() const { return icmp_->ErrorString(); }
    const std::string& HostIP() const { return icmp_->HostIP(); }
    // Dotted IPv4 text of the last successful lookup.
    const std::string& DnsResult() const { return dnsResult_; }
    TICMP* Icmp() const { return icmp_.get(); }

    // Events, fired on the owning thread.  A handler may not destroy the TPing.
    std::function<void(TPing* sender, TICMP* icmp, const std::string& msg)> OnDisplay;
    std::function<void(TPing* sender, TICMP* icmp)> OnEchoRequest;
    // `status` is the number of answers Ping is about to return.
    std::function<void(TPing* sender, TICMP* icmp, int status)> OnEchoReply;
    // 0 on success, else the resolver's error number (11001 ...), 10004 when cancelled.
    std::function<void(TPing* sender, std::uint16_t error)> OnDnsLookupDone;

private:
    void LookupDone(LookupId id, const LookupResult& result);

    std::unique_ptr<TICMP> icmp_;
    std::unique_ptr<HiddenWindow> window_;
    LookupId pending_ = 0; // 0: no lookup pending
    std::string dnsResult_;
};

} // namespace qordex::diag
