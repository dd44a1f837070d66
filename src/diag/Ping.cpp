#include "diag/Ping.h"

#include "platform/HiddenWindow.h"
#include "platform/SocketErrors.h"

#include <arpa/inet.h>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace qordex::diag {

TPing::TPing(IcmpSocketKind kind) : icmp_(std::make_unique<TICMP>(kind)) {
    icmp_->OnDisplay = [this](const std::string& msg) {
        if (OnDisplay)
            OnDisplay(this, icmp_.get(), msg);
    };
    icmp_->OnEchoRequest = [this] {
        if (OnEchoRequest)
            OnEchoRequest(this, icmp_.get());
    };
    icmp_->OnEchoReply = [this](int status) {
        if (OnEchoReply)
            OnEchoReply(this, icmp_.get(), status);
    };
    window_ = std::make_unique<HiddenWindow>();
}

TPing::~TPing() {
    try {
        CancelLookup();
    } catch (...) {
        // The lookup is dropped with the window below in any case.
    }
    window_.reset();
    icmp_.reset();
}

int TPing::Ping() {
    return icmp_ ? icmp_->Ping() : 0;
}

void TPing::DnsLookup(const std::string& hostName) {
    if (pending_) {
        qordex::CancelLookup(pending_); // replaced without a report
        pending_ = 0;
    }
    dnsResult_.clear();
    in_addr parsed{};
    if (inet_pton(AF_INET, hostName.c_str(), &parsed) == 1) {
        dnsResult_ = DottedIp(parsed.s_addr);
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, 0);
        return;
    }
    try {
        // The identifier is only known once the call returns, and the
        // completion never runs inside it, so it can be captured by reference.
        auto id = std::make_shared<LookupId>(0);
        *id = StartHostLookup(window_.get(), hostName,
                              [this, id](const LookupResult& r) { LookupDone(*id, r); });
        pending_ = *id;
    } catch (const std::system_error&) {
        char text[512];
        std::snprintf(text, sizeof text, "%s: can't start DNS lookup, error #%d", hostName.c_str(),
                      int(WSAENOBUFS));
        throw std::runtime_error(text);
    }
}

void TPing::LookupDone(LookupId id, const LookupResult& result) {
    if (id != pending_)
        return; // a lookup that was replaced or cancelled
    pending_ = 0;
    if (result.error == 0 && !result.addrs.empty())
        dnsResult_ = DottedIp(result.addrs.front());
    const int error = result.error != 0 ? result.error : (result.addrs.empty() ? WSANO_DATA : 0);
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, std::uint16_t(error));
}

void TPing::CancelLookup() {
    if (!pending_)
        return;
    const LookupId id = pending_;
    pending_ = 0;
    if (!qordex::CancelLookup(id)) {
        char text[128];
        std::snprintf(text, sizeof text, "WSACancelAsyncRequest failed, error #%d", int(WSAEINVAL));
        throw std::runtime_error(text);
    }
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, std::uint16_t(WSAEINTR));
}

} // namespace qordex::diag
