#include "net/WSocket.h"

#include "net/LingeringClose.h"

#include "base/Text.h"
#include "platform/MessageLoop.h"
#include "platform/SocketErrors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qordex {

// ---- helpers ---------------------------------------------------------------

namespace {

constexpr std::size_t kRoundLimit = 4u << 20; // bytes handed over before yielding to the loop

std::string FormatInt(const char* fmt, int n) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, n);
    return buf;
}

int SysError() {
    return ErrnoToWsa(errno);
}

// Errors by which a stream connection ends.
bool IsConnectionError(int err) {
    switch (err) {
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAENETRESET:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAETIMEDOUT:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH:
        return true;
    default:
        return false;
    }
}

} // namespace

// ---- the socket ---------------------------------------------------------------

TCustomWSocket::TCustomWSocket() : alive_(std::make_shared<char>(0)) {
    window_ = std::make_unique<HiddenWindow>(
        [this](unsigned msg, WPARAM w, LPARAM l) { SafeWndProc(msg, w, l); });
    select_ = std::make_unique<AsyncSelect>(
        window_.get(), [this](SocketTag tag, unsigned event, int error) {
            SafeWndProc(WM_ASYNCSELECT, tag, WSAMakeSelectReply(event, error));
        });
    sin_.sin_family = AF_INET;
    ResetDefaults();
    WSocketAddLiveSocket();
}

TCustomWSocket::LifeCheck::LifeCheck(const TCustomWSocket& s)
    : socket_(&s), alive_(s.alive_), tag_(s.Tag()) {}

bool TCustomWSocket::LifeCheck::Same() const {
    return Alive() && socket_->Tag() == tag_;
}

TCustomWSocket::~TCustomWSocket() {
    destroying_ = true;
    // No event leaves a socket that is being destroyed: in C++ the owner
    // that the handlers point into is usually half gone by now.
    OnChangeState = nullptr;
    OnDnsLookupDone = nullptr;
    OnSessionConnected = nullptr;
    OnSessionAvailable = nullptr;
    OnDataAvailable = nullptr;
    OnSendData = nullptr;
    OnDataSent = nullptr;
    OnSessionClosed = nullptr;
    OnError = nullptr;
    OnBgException = nullptr;
    try {
        CancelLookup();
    } catch (...) {
    }
    if (state_ != wsClosed) {
        try {
            TCustomWSocket::Close();
        } catch (...) {
        }
    }
    if (hSocket_ != INVALID_SOCKET) {
        select_->Detach();
        ::close(hSocket_);
        hSocket_ = INVALID_SOCKET;
    }
    DiscardSendBuffer();
    select_.reset();
    window_.reset();
    alive_.reset();
    WSocketRemoveLiveSocket(); // the library stops with its last socket
}

// ---- properties --------------------------------------------------------------

// The destination texts change only while the socket is closed; a changed text
// must be resolved again.  Returns false when the change was refused.
bool TCustomWSocket::ChangeWhileClosed(const char* name, const std::string& value,
                                       std::string& text, bool& assigned, bool& resolved) {
    const std::string t = Trim(value);
    if (assigned && t == text)
        return true;
    if (state_ != wsClosed) {
        ReportError(std::string("Cannot change ") + name + " if not closed");
        return false;
    }
    text = t;
    assigned = !t.empty();
    resolved = false;
    return true;
}

void TCustomWSocket::SetAddr(const std::string& v) {
    ChangeWhileClosed("Addr", v, addrStr_, addrAssigned_, addrResolved_);
}

void TCustomWSocket::SetPort(const std::string& v) {
    ChangeWhileClosed("Port", v, portStr_, portAssigned_, portResolved_);
}

void TCustomWSocket::SetProto(const std::string& v) {
    ChangeWhileClosed("Proto", v, protoStr_, protoAssigned_, protoResolved_);
}

void TCustomWSocket::SetLocalAddr(const std::string& v) {
    if (state_ != wsClosed) {
        ReportError("Cannot change LocalAddr if not closed");
        return;
    }
    std::string t = Trim(v);
    localAddrStr_ = t.empty() ? "0.0.0.0" : t;
}

void TCustomWSocket::SetLocalPort(const std::string& v) {
    if (state_ != wsClosed) {
        ReportError("Cannot change LocalPort if not closed");
        return;
    }
    localPortStr_ = Trim(v);
    localPortResolved_ = false;
}

std::uint8_t TCustomWSocket::ReqVerLow() const {
    return WSocketReqVerLow();
}

std::uint8_t TCustomWSocket::ReqVerHigh() const {
    return WSocketReqVerHigh();
}

void TCustomWSocket::SetReqVerLow(std::uint8_t v) {
    if (!WSocketSetReqVerLow(v))
        RaiseSocketError("SetReqVerLow: WinSock version can't be changed now", WSAEINVAL);
}

void TCustomWSocket::SetReqVerHigh(std::uint8_t v) {
    if (!WSocketSetReqVerHigh(v))
        RaiseSocketError("SetReqVerHigh: WinSock version can't be changed now", WSAEINVAL);
}

TSocketSendFlags TCustomWSocket::SendFlags() const {
    if (sendFlags_ == 0)
        return wsSendNormal;
    if (sendFlags_ == MSG_OOB)
        return wsSendUrgent;
    throw ESocketException("Invalid internal SendFlags");
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags v) {
    switch (v) {
    case wsSendNormal:
        sendFlags_ = 0;
        break;
    case wsSendUrgent:
        sendFlags_ = MSG_OOB;
        break;
    default:
        ReportError("Invalid SendFlags");
    }
}

// ---- events ------------------------------------------------------------------

bool TCustomWSocket::TriggerDataAvailable(int error) {
    if (!OnDataAvailable)
        return false;
    auto handler = OnDataAvailable;
    handler(this, std::uint16_t(error));
    return true;
}

void TCustomWSocket::TriggerSessionAvailable(int error) {
    if (auto h = OnSessionAvailable)
        h(this, std::uint16_t(error));
}

void TCustomWSocket::TriggerSessionConnected(int error) {
    TriggerSessionConnectedSpecial(error);
}

void TCustomWSocket::TriggerSessionConnectedSpecial(int error) {
    if (auto h = OnSessionConnected)
        h(this, std::uint16_t(error));
}

void TCustomWSocket::TriggerSessionClosed(int error) {
    if (auto h = OnSessionClosed)
        h(this, std::uint16_t(error));
}

void TCustomWSocket::TriggerDataSent(int error) {
    if (auto h = OnDataSent)
        h(this, std::uint16_t(error));
}

void TCustomWSocket::TriggerSendData(int bytesSent) {
    if (auto h = OnSendData)
        h(this, bytesSent);
}

void TCustomWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState) {
    if (auto h = OnChangeState)
        h(this, oldState, newState);
}

void TCustomWSocket::TriggerDnsLookupDone(int error) {
    if (auto h = OnDnsLookupDone)
        h(this, std::uint16_t(error));
}

void TCustomWSocket::TriggerError() {
    if (auto h = OnError)
        h(this);
}

void TCustomWSocket::ChangeState(TSocketState newState) {
    TSocketState old = state_;
    state_ = newState;
    if (old != newState)
        TriggerChangeState(old, newState);
}

// ---- errors ------------------------------------------------------------------

void TCustomWSocket::ReportError(const std::string& msg) {
    if (OnError) {
        TriggerError();
        return;
    }
    throw ESocketException(msg, lastError_);
}

void TCustomWSocket::RaiseSocketError(const std::string& func, int error) {
    std::string msg = "Error " + std::to_string(error) + " in function " + func + "\r\n" +
                      WSocketErrorText(error);
    if (error == WSAECONNRESET || error == WSAENOTCONN) {
        const LifeCheck life(*this);
        if (hSocket_ != INVALID_SOCKET) {
            select_->Detach();
            ::close(hSocket_);
            hSocket_ = INVALID_SOCKET;
        }
        if (state_ != wsClosed) {
            TriggerSessionClosed(error);
            if (!life.Alive())
                return;
        }
        ChangeState(wsClosed);
        if (!life.Alive())
            return;
    }
    lastError_ = error;
    ReportError(msg);
}

void TCustomWSocket::HandleBgException(const std::exception& e) {
    const LifeCheck life(*this);
    bool canClose = true;
    try {
        if (auto h = OnBgException)
            h(this, e, canClose);
    } catch (...) {
    }
    if (!life.Alive() || !canClose)
        return;
    try {
        Abort();
    } catch (...) {
    }
}

// ---- message dispatch -----------------------------------------------------------

// No exception crosses the event loop: what escapes a handler goes to
// OnBgException (and by default aborts the socket).
void TCustomWSocket::SafeWndProc(unsigned msg, WPARAM wParam, LPARAM lParam) {
    const LifeCheck life(*this);
    try {
        WndProc(msg, wParam, lParam);
    } catch (const std::exception& e) {
        if (life.Alive())
            HandleBgException(e);
    } catch (...) {
        if (life.Alive())
            HandleBgException(std::runtime_error("Unknown exception"));
    }
}

void TCustomWSocket::WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_ASYNCSELECT:
        if (wParam == 0 || wParam != Tag() || paused_)
            return; // stale (closed or reused descriptor) or paused
        OnNotification(WSAGetSelectEvent(lParam), WSAGetSelectError(lParam));
        break;
    case WM_ASYNCGETHOSTBYNAME:
    case WM_ASYNCGETHOSTBYADDR: {
        if (lookupId_ == 0 || wParam != WPARAM(lookupId_))
            return;
        lookupId_ = 0;
        int err = WSAGetSelectError(lParam);
        if (err == 0) {
            if (msg == WM_ASYNCGETHOSTBYNAME) {
                for (std::uint32_t a : lookupResult_.addrs)
                    dnsResultList_.push_back(WSocket_inet_ntoa(a));
            } else if (!lookupResult_.name.empty()) {
                dnsResultList_.push_back(lookupResult_.name);
                for (const std::string& alias : lookupResult_.aliases)
                    if (!alias.empty())
                        dnsResultList_.push_back(alias);
            }
            if (!dnsResultList_.empty())
                dnsResult_ = dnsResultList_.front();
        }
        TriggerDnsLookupDone(err);
        break;
    }
    case WM_CLOSE_DELAYED:
        // The request belongs to the session it was made in; a later
        // session of this socket is not ended by it.
        if (wParam == Tag())
            Close();
        break;
    default:
        break;
    }
}

void TCustomWSocket::OnNotification(unsigned event, int error) {
    const LifeCheck life(*this);
    auto still = [&] { return life.Same() && !paused_; };
    if (event & FD_CONNECT) {
        Do_FD_CONNECT(error);
        if (!still())
            return;
    }
    if (event & FD_READ) {
        Do_FD_READ(error);
        if (!still())
            return;
    }
    if (event & FD_WRITE) {
        Do_FD_WRITE(error);
        if (!still())
            return;
    }
    if (event & FD_ACCEPT) {
        Do_FD_ACCEPT(error);
        if (!still())
            return;
    }
    if (event & FD_CLOSE)
        Do_FD_CLOSE(error);
}

void TCustomWSocket::Do_FD_CONNECT(int error) {
    if (state_ == wsConnected)
        return;
    const LifeCheck life(*this);
    ChangeState(wsConnected);
    if (!life.Same())
        return;
    TriggerSessionConnected(error);
    if (!life.Same())
        return;
    if (error != 0 && state_ != wsClosed)
        Close();
}

void TCustomWSocket::Do_FD_READ(int error) {
    const LifeCheck life(*this);
    if (state_ != wsConnected) {
        ChangeState(wsConnected);
        if (!life.Same())
            return;
        TriggerSessionConnected(error);
        if (!life.Same())
            return;
    }
    DrainReceive(error, options_);
}

void TCustomWSocket::Do_FD_WRITE(int error) {
    const LifeCheck life(*this);
    TryToSend();
    if (!life.Same())
        return;
    if (allSent_)
        TriggerDataSent(error);
}

void TCustomWSocket::Do_FD_ACCEPT(int error) {
    TriggerSessionAvailable(error);
}

void TCustomWSocket::Do_FD_CLOSE(int error) {
    if (state_ == wsConnecting || hSocket_ == INVALID_SOCKET)
        return;
    const LifeCheck life(*this);
    // Everything that still waits is delivered before the close.
    DrainReceive(0, options_ & ~TWSocketOptions(wsoNoReceiveLoop), false);
    if (!life.Same())
        return;
    // The system reports a reset only once: when the application's own
    // Receive met it, the close that follows still carries it.
    if (error == 0)
        error = recvError_;
    if (!closeInvoked_) {
        closeInvoked_ = true;
        TriggerSessionClosed(error);
        if (!life.Same())
            return;
    }
    if (state_ != wsClosed)
        Close();
}

void TCustomWSocket::DrainReceive(int error, TWSocketOptions options, bool bounded) {
    const LifeCheck life(*this);
    std::uint64_t start = consumed_;
    for (;;) {
        lastError_ = 0;
        std::uint64_t before = consumed_;
        try {
            if (!TriggerDataAvailable(error)) {
                if (!life.Alive())
                    return;
                // Nobody reads: take the bytes away so the peer is not stalled.
                char junk[1024];
                int n = Receive(junk, sizeof junk);
                if (n < 0 && lastError_ == WSAEWOULDBLOCK) {
                    lastError_ = 0;
                    break;
                }
            }
        } catch (...) {
            // An exception inside the receive loop ends the round.
            if (!life.Alive())
                return;
            break;
        }
        if (!life.Same() || hSocket_ == INVALID_SOCKET)
            return;
        if (paused_ || (options & wsoNoReceiveLoop))
            break;
        if (lastError_ != 0) {
            if (lastError_ == -1) // set by a handler to stop the loop
                lastError_ = 0;
            break;
        }
        // A handler that took nothing would otherwise be called for ever on
        // the same bytes; its next chance comes with the next notification.
        if (consumed_ == before)
            break;
        int avail = 0;
        if (::ioctl(hSocket_, FIONREAD, &avail) < 0) {
            lastError_ = SysError();
            break;
        }
        if (avail == 0)
            break;
        if (bounded && consumed_ - start >= kRoundLimit) {
            // A fast sender must not keep the thread's loop from running:
            // the rest is announced again from the queue.
            select_->PostNotification(FD_READ, 0);
            break;
        }
    }
}

// ---- connect, listen, accept ------------------------------------------------

void TCustomWSocket::AttachSelect(TSocket fd) {
    hSocket_ = fd;
    select_->Attach(fd);
}

void TCustomWSocket::SetResolvedDestination(std::uint32_t addr, std::uint16_t port) {
    sin_.sin_family = AF_INET;
    sin_.sin_addr.s_addr = addr;
    sin_.sin_port = htons(port);
    portNum_ = port;
    addrResolved_ = portResolved_ = true;
}

void TCustomWSocket::ResolveDestination() {
    if (!portResolved_) {
        portNum_ = WSocketResolvePort(portStr_, protoStr_);
        sin_.sin_port = htons(std::uint16_t(portNum_));
        portResolved_ = true;
    }
    if (!addrResolved_) {
        sin_.sin_addr.s_addr = WSocketResolveHost(addrStr_);
        addrResolved_ = true;
    }
    sin_.sin_family = AF_INET;
}

int TCustomWSocket::OpenDescriptor(const char* func) {
    DiscardSendBuffer();
    const int type = kind_ == TSocketKind::Stream     ? SOCK_STREAM
                     : kind_ == TSocketKind::Datagram ? SOCK_DGRAM
                                                      : SOCK_RAW;
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, proto_);
    if (fd < 0) {
        RaiseSocketError(func, SysError());
        return -1;
    }
    closeInvoked_ = false;
    recvError_ = 0;
    AttachSelect(fd);
    return fd;
}

void TCustomWSocket::Connect() {
    if (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!portAssigned_) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!addrAssigned_) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!protoAssigned_) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    WSocketLoadLibrary();
    try {
        if (!protoResolved_) {
            proto_ = WSocketResolveProto(protoStr_);
            kind_ = proto_ == 6    ? TSocketKind::Stream
                    : proto_ == 17 ? TSocketKind::Datagram
                                   : TSocketKind::Raw;
            protoResolved_ = true;
        }
        ResolveDestination();
        if (!localPortResolved_) {
            localPortNum_ = WSocketResolvePort(localPortStr_, protoStr_);
            localPortResolved_ = true;
        }
    } catch (const ESocketException& e) {
        ReportError(std::string("connect: ") + e.what());
        return;
    }

    const int fd = OpenDescriptor("Connect (socket)");
    if (fd < 0)
        return;
    socklen_t len = sizeof sndBufSize_;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndBufSize_, &len) < 0) {
        RaiseSocketError("getsockopt(SO_SNDBUF)", SysError());
        return;
    }
    len = sizeof rcvBufSize_;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBufSize_, &len) < 0) {
        RaiseSocketError("getsockopt(SO_RCVBUF)", SysError());
        return;
    }

    const LifeCheck life(*this);
    ChangeState(wsOpened);
    if (!life.Alive())
        return;
    if (state_ != wsOpened) {
        RaiseSocketError("Connect (Invalid operation in OnChangeState)", WSAEINVAL);
        return;
    }

    if (kind_ == TSocketKind::Datagram) {
        BindLocal();
        if (!life.Same())
            return;
        if (multiCast_) {
            if (multiCastIpTTL_ != 1) {
                unsigned char ttl = static_cast<unsigned char>(multiCastIpTTL_);
                if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0) {
                    RaiseSocketError("setsockopt(IP_MULTICAST_TTL)", SysError());
                    return;
                }
            }
            if (localAddrStr_ != "0.0.0.0") {
                in_addr ifa{};
                try {
                    ifa.s_addr = WSocketResolveHost(localAddrStr_);
                } catch (const ESocketException& e) {
                    ReportError(e.what());
                    return;
                }
                if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifa, sizeof ifa) < 0) {
                    RaiseSocketError("setsockopt(IP_MULTICAST_IF)", SysError());
                    return;
                }
            }
        }
        // Only the limited broadcast address switches broadcasting on.
        if (sin_.sin_addr.s_addr == INADDR_BROADCAST) {
            int one = 1;
            if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) < 0) {
                RaiseSocketError("setsockopt(SO_BROADCAST)", SysError());
                return;
            }
        }
        udpDestKnown_ = true;
    } else {
        int one = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
            RaiseSocketError("setsockopt(SO_REUSEADDR)", SysError());
            return;
        }
        if ((options_ & wsoTcpNoDelay) && kind_ == TSocketKind::Stream &&
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) {
            RaiseSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)", SysError());
            return;
        }
        int before = lastError_;
        lastError_ = 0;
        ApplyLinger();
        if (!life.Same() || lastError_ != 0)
            return;
        ApplyKeepAlive();
        if (!life.Same() || lastError_ != 0)
            return;
        lastError_ = before;
        if (localPortNum_ != 0 || localAddrStr_ != "0.0.0.0") {
            BindLocal();
            if (!life.Same())
                return;
        }
    }

    selectedMask_ = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE; // 59
    if (int err = select_->Select(selectedMask_)) {
        RaiseSocketError("WSAAsyncSelect", err);
        return;
    }

    if (kind_ == TSocketKind::Datagram) {
        ChangeState(wsConnected);
        if (!life.Same())
            return;
        TriggerSessionConnected(0);
        return;
    }

    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&sin_), sizeof sin_);
    int err = rc == 0 ? 0 : SysError();
    if (rc == 0 || err == WSAEWOULDBLOCK) {
        select_->ConnectStarted();
        ChangeState(wsConnecting);
        return;
    }
    if (err == WSAECONNREFUSED) {
        // A refusal known at once is still reported the usual way, later,
        // as the end of the connect attempt.
        ChangeState(wsConnecting);
        if (!life.Same())
            return;
        select_->PostNotification(FD_CONNECT, err);
        return;
    }
    lastError_ = err;
    RaiseSocketError("Connect", err);
}

void TCustomWSocket::BindLocal() {
    sockaddr_in la{};
    la.sin_family = AF_INET;
    la.sin_port = htons(std::uint16_t(localPortNum_));
    try {
        la.sin_addr.s_addr = WSocketResolveHost(localAddrStr_);
    } catch (const ESocketException& e) {
        ReportError(e.what());
        return;
    }
    if (::bind(hSocket_, reinterpret_cast<sockaddr*>(&la), sizeof la) < 0) {
        lastError_ = SysError();
        ReportError(FormatInt("winsock.bind failed, error #%d", lastError_));
        return;
    }
    socklen_t len = sizeof la;
    if (::getsockname(hSocket_, reinterpret_cast<sockaddr*>(&la), &len) < 0) {
        lastError_ = SysError();
        ReportError(FormatInt("winsock.getsockname failed, error #%d", lastError_));
        return;
    }
    localPortNum_ = ntohs(la.sin_port);
    localPortStr_ = std::to_string(localPortNum_);
}

void TCustomWSocket::Listen() {
    if (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        ReportError("Listen: Socket already in use");
        return;
    }
    if (!portAssigned_) {
        RaiseSocketError("listen: port not assigned", WSAEINVAL);
        return;
    }
    if (!protoAssigned_) {
        RaiseSocketError("listen: protocol not assigned", WSAEINVAL);
        return;
    }
    if (!addrAssigned_) {
        RaiseSocketError("listen: address not assigned", WSAEINVAL);
        return;
    }
    WSocketLoadLibrary();
    try {
        if (AsciiLower(protoStr_.substr(0, 4)) == "raw_") {
            kind_ = TSocketKind::Raw;
            proto_ = WSocketResolveProto(protoStr_.substr(4, 10));
        } else {
            proto_ = WSocketResolveProto(protoStr_);
            kind_ = proto_ == 17 ? TSocketKind::Datagram : TSocketKind::Stream;
        }
        protoResolved_ = true;
        ResolveDestination();
    } catch (const ESocketException& e) {
        ReportError(std::string("listen: ") + e.what());
        return;
    }

    const int fd = OpenDescriptor("socket");
    if (fd < 0)
        return;
    const LifeCheck life(*this);

    // A failed step closes the socket before the failure is reported, so it
    // never stays open behind an exception.
    auto fail = [&](const char* func, int err) {
        if (state_ == wsClosed) {
            select_->Detach();
            ::close(fd);
            hSocket_ = INVALID_SOCKET;
        } else {
            Close();
            if (!life.Alive())
                return;
        }
        RaiseSocketError(func, err);
    };

    int one = 1;
    // A stream listener may always reuse its address, so that a server
    // restarts on its port while old connections linger.
    if ((kind_ == TSocketKind::Stream || (kind_ == TSocketKind::Datagram && reuseAddr_)) &&
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        fail("setsockopt(SO_REUSEADDR)", SysError());
        return;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sin_), sizeof sin_) < 0) {
        fail("Bind", SysError());
        return;
    }
    ChangeState(wsBound);
    if (!life.Same())
        return;

    selectedMask_ = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE; // 43
    if (kind_ == TSocketKind::Stream) {
        if (::listen(fd, listenBacklog_) < 0) {
            fail("Listen", SysError());
            return;
        }
        if (int err = select_->Select(selectedMask_)) {
            fail("WSAASyncSelect", err);
            return;
        }
        ChangeState(wsListening);
        return;
    }
    if (kind_ == TSocketKind::Datagram) {
        if (multiCast_) {
            ip_mreq mreq{};
            mreq.imr_multiaddr.s_addr = ::inet_addr(multiCastAddrStr_.c_str());
            mreq.imr_interface.s_addr = sin_.sin_addr.s_addr;
            if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
                fail("setsockopt(IP_ADD_MEMBERSHIP)", SysError());
                return;
            }
        }
    } else if (kind_ == TSocketKind::Raw) {
        if (options_ & wsoSIO_RCVALL) {
            // The interface-wide receive-all switch has no counterpart here.
            fail("WSAIoctl(SIO_RCVALL)", WSAEOPNOTSUPP);
            return;
        }
    } else {
        fail("Listen: unexpected protocol.", WSAEINVAL);
        return;
    }
    if (int err = select_->Select(selectedMask_)) {
        fail("WSAASyncSelect", err);
        return;
    }
    ChangeState(wsListening);
    if (!life.Same())
        return;
    ChangeState(wsConnected);
    if (!life.Same())
        return;
    TriggerSessionConnected(0);
}

TSocket TCustomWSocket::Accept() {
    if (state_ != wsListening) {
        RaiseSocketError("not a listening socket", WSAEINVAL);
        return INVALID_SOCKET;
    }
    socklen_t len = sizeof sin_;
    int fd =
        ::accept4(hSocket_, reinterpret_cast<sockaddr*>(&sin_), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = fd < 0 ? SysError() : 0;
    select_->AcceptCalled();
    if (fd < 0) {
        RaiseSocketError("Accept", err);
        return INVALID_SOCKET;
    }
    return fd;
}

void TCustomWSocket::Dup(TSocket h) {
    if (h == 0 || h == INVALID_SOCKET) {
        RaiseSocketError("Dup", WSAEINVAL);
        return;
    }
    WSocketLoadLibrary();
    const LifeCheck life(*this);
    if (state_ != wsClosed) {
        TSocket old = hSocket_;
        hSocket_ = INVALID_SOCKET;
        select_->Detach();
        if (old != INVALID_SOCKET && ::close(old) < 0 && errno != EINTR) {
            RaiseSocketError("Dup (closesocket)", SysError());
            return;
        }
        ChangeState(wsClosed);
        if (!life.Alive())
            return;
    }
    int fl = ::fcntl(h, F_GETFL);
    if (fl >= 0)
        ::fcntl(h, F_SETFL, fl | O_NONBLOCK);
    closeInvoked_ = false;
    recvError_ = 0;
    DiscardSendBuffer();
    allSent_ = true;
    int v = 0;
    socklen_t vl = sizeof v;
    kind_ = ::getsockopt(h, SOL_SOCKET, SO_TYPE, &v, &vl) == 0 && v == SOCK_DGRAM
                ? TSocketKind::Datagram
                : TSocketKind::Stream;
    AttachSelect(h);
    socklen_t len = sizeof sndBufSize_;
    if (::getsockopt(h, SOL_SOCKET, SO_SNDBUF, &sndBufSize_, &len) < 0) {
        RaiseSocketError("getsockopt(SO_SNDBUF)", SysError());
        return;
    }
    len = sizeof rcvBufSize_;
    if (::getsockopt(h, SOL_SOCKET, SO_RCVBUF, &rcvBufSize_, &len) < 0) {
        RaiseSocketError("getsockopt(SO_RCVBUF)", SysError());
        return;
    }
    int before = lastError_;
    lastError_ = 0;
    ApplyLinger();
    if (!life.Alive() || hSocket_ != h || lastError_ != 0)
        return;
    lastError_ = before;
    selectedMask_ = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE; // 51
    if (int err = select_->Select(selectedMask_)) {
        RaiseSocketError("WSAAsyncSelect", err);
        return;
    }
    // The adopted connection can take data: say so once, as after a connect.
    select_->PostNotification(FD_WRITE, 0);
    ChangeState(wsConnected);
}

// ---- options -----------------------------------------------------------------

void TCustomWSocket::ApplyLinger() {
    if (lingerOnOff_ == wsLingerNoSet)
        return;
    if (hSocket_ == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return;
    }
    // "On, 0 seconds" would turn every Close into a reset that throws away
    // what is still queued; the system's own graceful close is kept instead.
    // Only an explicit non-zero timeout is handed to the system.
    if (lingerOnOff_ == wsLingerOn && lingerTimeout_ <= 0)
        return;
    linger l{};
    l.l_onoff = lingerOnOff_ == wsLingerOn ? 1 : 0;
    l.l_linger = std::clamp(lingerTimeout_, 0, 65535);
    if (::setsockopt(hSocket_, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0) {
        int err = SysError();
        RaiseSocketError("setsockopt(SO_LINGER)", err);
    }
}

void TCustomWSocket::ApplyKeepAlive() {
    if (keepAliveOnOff_ == wsKeepAliveOff)
        return;
    int one = 1;
    if (::setsockopt(hSocket_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) < 0) {
        int err = SysError();
        RaiseSocketError("setsockopt(SO_KEEPALIVE)", err);
        return;
    }
    if (keepAliveOnOff_ == wsKeepAliveOnCustom && kind_ == TSocketKind::Stream) {
        int idle = std::max(1, keepAliveTime_ / 1000);
        int intvl = std::max(1, keepAliveInterval_ / 1000);
        if (::setsockopt(hSocket_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0 ||
            ::setsockopt(hSocket_, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) < 0) {
            int err = SysError();
            RaiseSocketError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)", err);
        }
    }
}

// ---- sending -----------------------------------------------------------------

void TCustomWSocket::QueueData(const void* Data, int Len) {
    if (Len <= 0 || !Data)
        return;
    sendQueue_.Append(Data, Len, Mode());
    allSent_ = false;
}

SendMode TCustomWSocket::Mode() const {
    return SendMode{kind_ != TSocketKind::Stream, sendFlags_};
}

void TCustomWSocket::QueueText(const std::string& Str) {
    if (!Str.empty())
        QueueData(Str.data(), int(Str.size()));
}

void TCustomWSocket::DiscardSendBuffer() {
    sendQueue_.Clear();
}

int TCustomWSocket::Send(const void* Data, int Len) {
    if (state_ != wsConnected && state_ != wsSocksConnected) {
        RaiseSocketError("Send", WSAENOTCONN);
        return -1;
    }
    int result = Len <= 0 ? 0 : Len;
    allSent_ = false;
    const LifeCheck life(*this);
    if (Len > 0 && Data && !SendDirect(static_cast<const char*>(Data), Len))
        QueueData(Data, Len);
    if (!life.Alive())
        return result;
    TryToSend();
    if (!life.Alive())
        return result;
    // OnDataSent always comes later, from the loop, never inside Send.
    if (allSent_ && Tag() != 0 && life.Same())
        select_->PostNotification(FD_WRITE, 0);
    return result;
}

// With nothing queued, a stream socket hands the caller's bytes to the system
// at once instead of copying them into send blocks first; only what the
// system does not take is queued.  What is observed stays the same: one
// OnSendData per send-block-sized piece, and the queued rest starts at the
// same block boundary as if everything had been queued.  Returns false when
// the bytes must go the usual way.
bool TCustomWSocket::SendDirect(const char* data, int len) {
    if (inTryToSend_ || hSocket_ == INVALID_SOCKET)
        return false;
    SendResult r;
    if (!sendQueue_.SendDirect(hSocket_, data, len, Mode(), r))
        return false;
    const LifeCheck life(*this);
    if (r.blocked)
        select_->SendWouldBlock();
    for (int p : r.pieces) {
        TriggerSendData(p);
        if (!life.Same())
            return true;
    }
    return true;
}

int TCustomWSocket::SendRaw(const void* data, int len) {
    return TCustomWSocket::Send(data, len);
}

int TCustomWSocket::SendText(const std::string& Str) {
    if (Str.empty())
        return 0;
    return Send(Str.data(), int(Str.size()));
}

// Hands the send buffer to the system.  The events run after the
// bookkeeping, outside the lock, and may send, close, abort or free the
// socket.
void TCustomWSocket::TryToSend() {
    if (inTryToSend_) {
        sendAgain_ = true; // the running call goes round once more
        return;
    }
    const LifeCheck life(*this);
    inTryToSend_ = true;
    for (;;) {
        sendAgain_ = false;
        SocketTag tag = Tag();
        SendResult r;
        if (hSocket_ != INVALID_SOCKET)
            r = sendQueue_.Send(hSocket_, Mode(), &sin_, kRoundLimit);
        if (hSocket_ == INVALID_SOCKET || sendQueue_.Bytes() == 0)
            allSent_ = true;
        if (r.blocked && tag != 0)
            select_->SendWouldBlock();
        if (r.yielded && tag != 0)
            select_->PostNotification(FD_WRITE, 0);
        try {
            for (int p : r.pieces) {
                TriggerSendData(p);
                if (!life.Alive())
                    return;
                if (Tag() != tag) {
                    inTryToSend_ = false;
                    return;
                }
            }
        } catch (...) {
            if (life.Alive())
                inTryToSend_ = false;
            throw;
        }
        const int err = r.error;
        if (err != 0) {
            inTryToSend_ = false;
            ++sendErrors_;
            if (err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN ||
                err == WSAEINVAL || err == WSAECONNABORTED) {
                // The connection is gone: close, then report the error.
                DiscardSendBuffer();
                closeInvoked_ = true;
                Close();
                if (!life.Alive())
                    return;
                if (state_ == wsClosed && hSocket_ == INVALID_SOCKET)
                    TriggerSessionClosed(err);
                return;
            }
            RaiseSocketError("TryToSend failed", err);
            return;
        }
        if (!sendAgain_ || r.blocked || r.yielded || hSocket_ == INVALID_SOCKET)
            break;
    }
    inTryToSend_ = false;
}

int TCustomWSocket::SendTo(const TSockAddrIn& Dest, int DestLen, const void* Data, int Len) {
    TSockAddrIn dest = Dest;
    ssize_t n =
        ::sendto(hSocket_, Data, std::size_t(std::max(Len, 0)),
                 sendFlags_ | MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&dest),
                 socklen_t(std::clamp(DestLen, 0, int(sizeof dest))));
    if (n < 0) {
        lastError_ = SysError();
        return -1;
    }
    const LifeCheck life(*this);
    if (n > 0) {
        TriggerSendData(int(n));
        if (!life.Alive())
            return int(n);
    }
    if (allSent_ && kind_ == TSocketKind::Datagram && Tag() != 0 && life.Same())
        select_->PostNotification(FD_WRITE, 0);
    return int(n);
}

void TCustomWSocket::Flush() {
    // Called from OnSendData while the socket hands its buffer to the system,
    // Flush returns at once: the round it interrupts goes on sending as soon
    // as the handler returns, and waiting here for the buffer to drain would
    // wait for that very round.
    if (inTryToSend_) {
        sendAgain_ = true;
        return;
    }
    // Otherwise it waits until the buffer is empty, the session ends (a peer
    // that never reads is left by closing or aborting, from the loop), or a
    // send fails.
    const LifeCheck life(*this);
    const unsigned errors = sendErrors_;
    auto done = [&] {
        return !life.Same() || hSocket_ == INVALID_SOCKET || allSent_ || sendErrors_ != errors;
    };
    while (!done()) {
        TryToSend();
        if (done())
            return;
        // Only this thread's loop runs while we wait.
        PumpUntil(done, 50);
    }
}

// ---- receiving ---------------------------------------------------------------

int TCustomWSocket::RawReceive(void* buffer, int size, int flags) {
    if (hSocket_ == INVALID_SOCKET) {
        lastError_ = WSAENOTSOCK;
        return -1;
    }
    ssize_t n = ::recv(hSocket_, buffer, std::size_t(std::max(size, 0)), flags | MSG_DONTWAIT);
    int err = n < 0 ? SysError() : 0;
    if (!(flags & MSG_PEEK)) {
        if (n > 0)
            consumed_ += std::uint64_t(n);
        select_->ReceiveCalled();
    }
    if (n < 0) {
        lastError_ = err;
        if (kind_ == TSocketKind::Stream && IsConnectionError(err))
            recvError_ = err;
        return -1;
    }
    return int(n);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
    int n = RawReceive(Buffer, BufferSize, 0);
    if (n > 0)
        readCount_ += n;
    return n;
}

std::string TCustomWSocket::ReceiveText() {
    int n = RcvdCount();
    if (n < 0)
        return {};
    if (n == 0)
        n = 255;
    std::string s(std::size_t(n), '\0');
    int r = Receive(s.data(), n);
    if (r <= 0)
        return {};
    s.resize(std::size_t(r));
    return s;
}

int TCustomWSocket::RawReceiveFrom(void* buffer, int size, TSockAddrIn& from, int& fromLen) {
    if (hSocket_ == INVALID_SOCKET) {
        lastError_ = WSAENOTSOCK;
        return -1;
    }
    socklen_t len = socklen_t(std::clamp(fromLen, 0, int(sizeof from)));
    ssize_t n = ::recvfrom(hSocket_, buffer, std::size_t(std::max(size, 0)), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &len);
    int err = n < 0 ? SysError() : 0;
    if (n > 0)
        consumed_ += std::uint64_t(n);
    select_->ReceiveCalled();
    if (n < 0) {
        lastError_ = err;
        return -1;
    }
    fromLen = int(len);
    if (n == 0)
        ++consumed_; // an empty datagram is taken too
    return int(n);
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From, int& FromLen) {
    int n = RawReceiveFrom(Buffer, BufferSize, From, FromLen);
    if (n > 0)
        readCount_ += n;
    return n;
}

int TCustomWSocket::Peek(void* Buffer, int BufferSize) {
    return RawReceive(Buffer, BufferSize, MSG_PEEK);
}

int TCustomWSocket::GetRcvdCount() {
    int avail = 0;
    if (hSocket_ == INVALID_SOCKET || ::ioctl(hSocket_, FIONREAD, &avail) < 0) {
        RaiseSocketError("ioctlSocket", hSocket_ == INVALID_SOCKET ? WSAENOTSOCK : SysError());
        return -1;
    }
    return avail;
}

// ---- closing -------------------------------------------------------------------

void TCustomWSocket::Close() {
    InternalClose(true, 0);
}

void TCustomWSocket::CloseLater() {
    PostToSelf(WM_CLOSE_DELAYED, Tag());
}

void TCustomWSocket::PostToSelf(unsigned msg, WPARAM wParam, LPARAM lParam) {
    window_->Post(msg, wParam, lParam);
}

void TCustomWSocket::Abort() {
    InternalAbort(0);
}

void TCustomWSocket::InternalAbort(int error) {
    const LifeCheck life(*this);
    try {
        CancelLookup(); // its event may free the socket
    } catch (...) {
    }
    if (!life.Alive())
        return;
    DiscardSendBuffer();
    if (hSocket_ != INVALID_SOCKET && state_ == wsConnected && proto_ == 6 &&
        kind_ == TSocketKind::Stream) {
        // Abortive: the peer sees a reset and nothing queued is sent.
        linger l{1, 0};
        ::setsockopt(hSocket_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    InternalClose(false, error);
}

void TCustomWSocket::Shutdown(int How) {
    if (hSocket_ != INVALID_SOCKET)
        ::shutdown(hSocket_, How);
}

void TCustomWSocket::CloseHandleGracefully(TSocket fd) {
    CloseGracefully(fd, sendQueue_.TakeAll());
}

void TCustomWSocket::InternalClose(bool shut, int error) {
    if (hSocket_ == INVALID_SOCKET) {
        if (state_ != wsClosed) {
            const LifeCheck life(*this);
            ChangeState(wsClosed);
            if (!life.Alive())
                return;
            try {
                ResetDefaults();
            } catch (...) {
            }
        }
        return;
    }
    if (state_ == wsClosed) {
        // A descriptor made by a Connect or Listen that failed before the
        // socket opened: nothing was announced, so only release it.
        select_->Detach();
        ::close(hSocket_);
        hSocket_ = INVALID_SOCKET;
        return;
    }
    const LifeCheck life(*this);
    TSocket fd = hSocket_;
    hSocket_ = INVALID_SOCKET;
    select_->Detach();
    // A graceful close delivers what was queued, then the end of stream.
    if (shut && kind_ == TSocketKind::Stream && state_ == wsConnected)
        CloseHandleGracefully(fd);
    else
        ::close(fd);
    ChangeState(wsClosed);
    if (!life.Alive() || hSocket_ != INVALID_SOCKET)
        return; // freed, or a new session was started by the handler
    if (!destroying_ && !closeInvoked_) {
        closeInvoked_ = true;
        TriggerSessionClosed(error);
        if (!life.Alive() || hSocket_ != INVALID_SOCKET || state_ != wsClosed)
            return;
    }
    try {
        ResetDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::ResetDefaults() {
    sin_ = TSockAddrIn{};
    sin_.sin_family = AF_INET;
    addrAssigned_ = portAssigned_ = false;
    addrResolved_ = portResolved_ = localPortResolved_ = false;
    proto_ = 6;
    protoStr_ = "tcp";
    protoAssigned_ = true;
    protoResolved_ = false;
    kind_ = TSocketKind::Stream;
    localPortStr_ = "0";
    localAddrStr_ = "0.0.0.0";
    lingerOnOff_ = wsLingerOn;
    lingerTimeout_ = 0;
    if (hSocket_ != INVALID_SOCKET) {
        select_->Detach();
        ::close(hSocket_);
    }
    hSocket_ = INVALID_SOCKET;
    selectedMask_ = 0;
    state_ = wsClosed;
    allSent_ = true;
    paused_ = false;
    readCount_ = 0;
    closeInvoked_ = false;
    recvError_ = 0;
    udpDestKnown_ = false;
}

// ---- name lookups --------------------------------------------------------------

void TCustomWSocket::OnLookupResult(LookupId id, const LookupResult& result, bool reverse) {
    lookupResult_ = result;
    SafeWndProc(reverse ? WM_ASYNCGETHOSTBYADDR : WM_ASYNCGETHOSTBYNAME, WPARAM(id),
                WSAMakeSelectReply(0, result.error));
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        lastError_ = WSAEINVAL;
        const LifeCheck life(*this);
        ReportError("DNS lookup: invalid host name.");
        if (life.Alive())
            TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    if (lookupId_ != 0) {
        ::qordex::CancelLookup(lookupId_); // its late result is ignored
        lookupId_ = 0;
    }
    dnsResult_.clear();
    dnsResultList_.clear();
    if (WSocketIsNumericAddr(HostName)) {
        std::uint32_t a = ::inet_addr(Trim(HostName).c_str());
        if (a != INADDR_NONE) {
            dnsResult_ = WSocket_inet_ntoa(a);
            dnsResultList_.push_back(dnsResult_);
            TriggerDnsLookupDone(0);
            return;
        }
    }
    auto box = std::make_shared<LookupId>(0);
    const LifeCheck life(*this);
    lookupId_ = StartHostLookup(window_.get(), HostName, [this, life, box](const LookupResult& r) {
        if (life.Alive())
            OnLookupResult(*box, r, false);
    });
    *box = lookupId_;
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() > 256) {
        lastError_ = WSAEINVAL;
        const LifeCheck life(*this);
        ReportError("ReverseDnsLookup: Invalid host name.");
        if (life.Alive())
            TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    if (lookupId_ != 0) {
        ::qordex::CancelLookup(lookupId_);
        lookupId_ = 0;
    }
    dnsResult_.clear();
    dnsResultList_.clear();
    std::uint32_t a = ::inet_addr(HostAddr.c_str());
    auto box = std::make_shared<LookupId>(0);
    const LifeCheck life(*this);
    lookupId_ = StartAddrLookup(window_.get(), a, [this, life, box](const LookupResult& r) {
        if (life.Alive())
            OnLookupResult(*box, r, true);
    });
    *box = lookupId_;
}

void TCustomWSocket::CancelLookup() {
    if (lookupId_ == 0)
        return;
    ::qordex::CancelLookup(lookupId_);
    lookupId_ = 0;
    if (!destroying_)
        TriggerDnsLookupDone(WSAEINTR);
}

// ---- addresses -------------------------------------------------------------------

std::string TCustomWSocket::GetPeerAddr() {
    if (state_ != wsConnected)
        return "error";
    if (kind_ != TSocketKind::Stream) {
        // A datagram socket has no connected peer: its peer is the
        // destination given to Connect (a listening one has none).
        return udpDestKnown_ ? WSocket_inet_ntoa(sin_.sin_addr.s_addr) : "error";
    }
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(hSocket_, reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
        RaiseSocketError("GetPeerAddr", SysError());
        return "error";
    }
    return WSocket_inet_ntoa(sa.sin_addr.s_addr);
}

std::string TCustomWSocket::GetPeerPort() {
    if (state_ != wsConnected)
        return "error";
    if (kind_ != TSocketKind::Stream)
        return udpDestKnown_ ? std::to_string(ntohs(sin_.sin_port)) : "error";
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(hSocket_, reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
        RaiseSocketError("GetPeerPort", SysError());
        return "error";
    }
    return std::to_string(ntohs(sa.sin_port));
}

int TCustomWSocket::GetPeerSockAddr(TSockAddrIn& Addr, int Len) {
    if (state_ != wsConnected)
        return -1;
    socklen_t len = socklen_t(std::clamp(Len, 0, int(sizeof Addr)));
    if (::getpeername(hSocket_, reinterpret_cast<sockaddr*>(&Addr), &len) < 0) {
        lastError_ = SysError();
        return -1;
    }
    return 0;
}

std::string TCustomWSocket::GetBoundPort() {
    if (state_ != wsBound && state_ != wsConnected && state_ != wsListening)
        return "error";
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(hSocket_, reinterpret_cast<sockaddr*>(&sa), &len) < 0)
        return "error";
    return std::to_string(ntohs(sa.sin_port));
}

std::string TCustomWSocket::GetBoundAddr() {
    if (state_ != wsBound && state_ != wsConnected && state_ != wsListening)
        return "error";
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(hSocket_, reinterpret_cast<sockaddr*>(&sa), &len) < 0)
        return "error";
    return WSocket_inet_ntoa(sa.sin_addr.s_addr);
}

int TCustomWSocket::GetLocalSockAddr(TSockAddrIn& Addr, int& Len) {
    socklen_t len = socklen_t(std::clamp(Len, 0, int(sizeof Addr)));
    if (::getsockname(hSocket_, reinterpret_cast<sockaddr*>(&Addr), &len) < 0) {
        lastError_ = SysError();
        return -1;
    }
    Len = int(len);
    return 0;
}

// ---- pause, resume, pumping ------------------------------------------------------

void TCustomWSocket::Pause() {
    paused_ = true;
    if (hSocket_ != INVALID_SOCKET)
        select_->Select(0);
}

void TCustomWSocket::Resume() {
    paused_ = false;
    if (hSocket_ != INVALID_SOCKET)
        select_->Select(selectedMask_);
}

void TCustomWSocket::PumpMessages() {
    ::qordex::PumpMessages();
}

} // namespace qordex
