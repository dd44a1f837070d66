#include "net/WSocket.h"

#include "base/Text.h"

#include <algorithm>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace qordex {

int TCustomSocksWSocket::WaitingInSystem() const {
    int avail = 0;
    if (HSocket() == INVALID_SOCKET || ::ioctl(HSocket(), FIONREAD, &avail) < 0)
        return 0;
    return avail;
}

// ---- properties ------------------------------------------------------------

void TCustomSocksWSocket::SetSocksServer(const std::string& v) {
    if (State() != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    socksServer_ = Trim(v);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& v) {
    if (State() != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    socksPort_ = Trim(v);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& v) {
    if (State() != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    if (v != "4" && v != "5" && v != "4A" && v != "4a") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    socksLevel_ = v == "4a" ? "4A" : v;
}

// ---- events ------------------------------------------------------------------

void TCustomSocksWSocket::TriggerSocksConnected(int error) {
    if (auto h = OnSocksConnected)
        h(this, std::uint16_t(error));
}

void TCustomSocksWSocket::TriggerSocksError(int error, const std::string& msg) {
    if (auto h = OnSocksError)
        h(this, error, msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState state) {
    if (auto h = OnSocksAuthState)
        h(this, state);
}

// ---- connecting ----------------------------------------------------------------

bool TCustomSocksWSocket::RequestsFit() {
    const std::size_t limit = socks::kMaxFieldLength;
    const char* what = nullptr;
    if (!Level4()) {
        if (Addr().size() > limit)
            what = "host name";
        else if (socksAuthentication_ == socksAuthenticateUsercode && socksUsercode_.size() > limit)
            what = "user code";
        else if (socksAuthentication_ == socksAuthenticateUsercode && socksPassword_.size() > limit)
            what = "password";
    } else if (socksUsercode_.size() > limit) {
        what = "user code";
    } else if (socksLevel_ == "4A" && Addr().size() > limit) {
        what = "host name";
    }
    if (!what)
        return true;
    ReportError(std::string("connect: socks ") + what + " longer than " + std::to_string(limit) +
                " bytes");
    return false;
}

void TCustomSocksWSocket::Connect() {
    // Without a proxy, or with nothing to connect to, the core decides (and
    // reports its own errors).
    if (socksServer_.empty() || State() != wsClosed || Addr().empty() || Port().empty()) {
        TCustomWSocket::Connect();
        return;
    }
    const std::string proto = AsciiLower(Trim(Proto()));
    if (proto != "tcp" && proto != "6") {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    if (!RequestsFit())
        return;
    try {
        const int proxyPort = WSocketResolvePort(socksPort_, Proto());
        const std::uint32_t proxyAddr = WSocketResolveHost(socksServer_);
        destPort_ = std::uint16_t(WSocketResolvePort(Port(), Proto()));
        SetResolvedDestination(proxyAddr, std::uint16_t(proxyPort));
    } catch (const ESocketException& e) {
        ReportError(std::string("connect: ") + e.what());
        return;
    }
    phase_ = Phase::Methods;
    reply_.clear();
    leftover_.clear();
    const LifeCheck life(*this);
    try {
        TCustomWSocket::Connect();
    } catch (...) {
        if (life.Alive() && State() == wsClosed)
            phase_ = Phase::Data;
        throw;
    }
    if (life.Alive() && State() == wsClosed && HSocket() == INVALID_SOCKET)
        phase_ = Phase::Data; // the connect never started
}

void TCustomSocksWSocket::Listen() {
    if (!socksServer_.empty()) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::TriggerSessionConnected(int error) {
    if (phase_ != Phase::Methods) {
        TCustomWSocket::TriggerSessionConnected(error);
        return;
    }
    // The TCP connection to the proxy: the session is announced once the
    // proxy has connected us onwards.
    const LifeCheck life(*this);
    TriggerSocksConnected(error);
    if (!life.Same())
        return;
    if (error != 0) {
        phase_ = Phase::Data;
        TCustomWSocket::TriggerSessionConnected(error);
        return;
    }
    if (Level4()) {
        SendSocksRequest();
        return;
    }
    offeredMethod_ = socksAuthentication_ == socksAuthenticateUsercode ? socks::kMethodUserPass
                                                                       : socks::kMethodNone;
    SendBytes(socks::Greeting(offeredMethod_));
}

void TCustomSocksWSocket::SendBytes(const std::string& bytes) {
    try {
        SendRaw(bytes.data(), int(bytes.size()));
    } catch (...) {
        // A send that fails ends the session through the close events.
    }
}

void TCustomSocksWSocket::SendSocksCredentials() {
    phase_ = Phase::Authenticate;
    const LifeCheck life(*this);
    TriggerSocksAuthState(socksAuthStart);
    if (!life.Same())
        return;
    // Checked at Connect when offered; a proxy that picks this method
    // unasked may meet credentials that do not fit.
    auto request = socks::Credentials(socksUsercode_, socksPassword_);
    if (!request) {
        SocksFail(socks::socksErrMethod, "authentification method not acceptable");
        return;
    }
    SendBytes(*request);
}

void TCustomSocksWSocket::SendSocksRequest() {
    phase_ = Phase::Connect;
    std::optional<std::string> request;
    if (Level4()) {
        std::uint32_t addr = 0;
        std::string host4A;
        if (socksLevel_ == "4A") {
            host4A = Addr(); // the proxy resolves it
        } else {
            try {
                addr = WSocketResolveHost(Addr());
            } catch (const std::exception& e) {
                // Version 4 carries only an address: without one there is
                // nothing to ask for, and no session to announce.
                const LifeCheck life(*this);
                const char* kind =
                    dynamic_cast<const ESocketException*>(&e) ? "ESocketException" : "Exception";
                TriggerSocksError(socks::socksErrResolve, std::string(kind) + " " + e.what());
                if (!life.Same())
                    return;
                phase_ = Phase::Data;
                InternalClose(true, socks::socksErrResolve);
                return;
            }
        }
        request = socks::V4Request(destPort_, addr, socksUsercode_, host4A);
    } else {
        request = socks::V5Request(Addr(), destPort_);
    }
    if (!request) { // checked at Connect
        SocksFail(socks::socksErrInternal, "internal error");
        return;
    }
    SendBytes(*request);
}

void TCustomSocksWSocket::SocksFail(int error, const std::string& msg) {
    const LifeCheck life(*this);
    TriggerSocksError(error, msg);
    if (!life.Same())
        return;
    phase_ = Phase::Data;
    reply_.clear();
    leftover_.clear();
    TCustomWSocket::TriggerSessionConnected(error);
    if (!life.Same())
        return;
    InternalClose(true, error);
}

// ---- the proxy's replies ----------------------------------------------------------

void TCustomSocksWSocket::ReadReply(std::size_t want) {
    want = std::min(want, socks::kReplyBufferSize);
    if (reply_.size() >= want)
        return;
    char buf[socks::kReplyBufferSize];
    // The proxy's bytes are the layer's own: they go neither through an
    // override of Receive nor into ReadCount.  A read that fails waits for
    // the next notification.
    int n = TCustomWSocket::RawReceive(buf, int(want - reply_.size()), 0);
    if (n > 0)
        reply_.append(buf, std::size_t(n));
}

bool TCustomSocksWSocket::TriggerDataAvailable(int error) {
    if (phase_ == Phase::Data)
        return DeliverLeftovers(error);
    if (error != 0) {
        SocksFail(error, "data receive error");
        return false;
    }
    const LifeCheck life(*this);
    socks::Reply r;
    switch (phase_) {
    case Phase::Methods:
        if (Level4()) {
            SocksFail(socks::socksErrLogic, "TWSocket logic error");
            return false;
        }
        ReadReply(socks::kReplyBufferSize);
        r = socks::ReadMethodReply(reply_);
        if (r.status == socks::Reply::Done) {
            reply_.clear();
            if (r.method == socks::kMethodNone) {
                if (offeredMethod_ != socks::kMethodNone) {
                    TriggerSocksAuthState(socksAuthNotRequired);
                    if (!life.Same())
                        return true;
                }
                SendSocksRequest();
            } else if (r.method == socks::kMethodUserPass) {
                SendSocksCredentials();
            } else {
                SocksFail(socks::socksErrMethod, "authentification method not acceptable");
                return false;
            }
        }
        break;
    case Phase::Authenticate:
        ReadReply(socks::kReplyBufferSize);
        r = socks::ReadAuthReply(reply_);
        if (r.status == socks::Reply::Done) {
            reply_.clear();
            TriggerSocksAuthState(socksAuthSuccess);
            if (!life.Same())
                return true;
            SendSocksRequest();
        }
        break;
    case Phase::Connect:
        if (Level4()) {
            // Exactly the reply: what follows is the destination's and stays
            // with the system.
            ReadReply(8);
            r = socks::ReadV4Reply(reply_);
        } else {
            ReadReply(socks::kReplyBufferSize);
            r = socks::ReadV5Reply(reply_);
        }
        if (r.status == socks::Reply::Done) {
            leftover_ = reply_.substr(r.length);
            reply_.clear();
            return SocksSucceeded();
        }
        break;
    case Phase::Data:
        break;
    }
    if (r.status == socks::Reply::Failed) {
        SocksFail(r.code, r.message);
        return false;
    }
    return true;
}

bool TCustomSocksWSocket::SocksSucceeded() {
    phase_ = Phase::Data;
    const LifeCheck life(*this);
    TCustomWSocket::TriggerSessionConnected(0);
    if (!life.Same())
        return true;
    if (Paused())
        return true; // Resume hands the leftovers on
    // At once, so that what came with the reply (and what waits behind it)
    // reaches the application through whichever layer is on top.
    return TriggerDataAvailable(0);
}

// The leftovers are this layer's own bytes, which the core's receive round
// does not see: they are offered here while the handler takes some, and once
// they are gone the system's bytes get their pass in the same round.
bool TCustomSocksWSocket::DeliverLeftovers(int error) {
    if (leftover_.empty())
        return TCustomWSocket::TriggerDataAvailable(error);
    const LifeCheck life(*this);
    while (!leftover_.empty()) {
        if (Paused())
            return true;
        const std::size_t before = leftover_.size();
        const bool handled = TCustomWSocket::TriggerDataAvailable(error);
        if (!life.Same())
            return true;
        if (!handled) {
            leftover_.clear(); // nobody reads: dropped, like the system's bytes
            return false;
        }
        if (leftover_.size() == before)
            return true; // took nothing: offered again with the next notification
    }
    if (Paused() || WaitingInSystem() == 0)
        return true;
    return TCustomWSocket::TriggerDataAvailable(error);
}

int TCustomSocksWSocket::RawReceive(void* buffer, int size, int flags) {
    if (leftover_.empty())
        return TCustomWSocket::RawReceive(buffer, size, flags);
    const std::size_t n = std::min(leftover_.size(), std::size_t(std::max(size, 0)));
    std::memcpy(buffer, leftover_.data(), n);
    if (!(flags & MSG_PEEK))
        leftover_.erase(0, n);
    return int(n);
}

int TCustomSocksWSocket::GetRcvdCount() {
    if (!leftover_.empty())
        return int(leftover_.size());
    return TCustomWSocket::GetRcvdCount();
}

// ---- closing ------------------------------------------------------------------

void TCustomSocksWSocket::TriggerSessionClosed(int error) {
    if (phase_ == Phase::Authenticate) {
        const LifeCheck life(*this);
        TriggerSocksAuthState(socksAuthFailure);
        if (!life.Alive())
            return;
    }
    TCustomWSocket::TriggerSessionClosed(error);
}

void TCustomSocksWSocket::ResetDefaults() {
    phase_ = Phase::Data;
    socksServer_.clear();
    socksPort_.clear();
    socksLevel_ = "5";
    reply_.clear();
    leftover_.clear();
    TCustomWSocket::ResetDefaults();
}

} // namespace qordex
