#pragma once
// The event-driven socket: one non-blocking IPv4 socket (TCP, UDP or raw)
// whose readiness and name lookups arrive as events on the thread that
// created it, from that thread's message loop.  Every engine stands on it.
//
// Class chain: TCustomWSocket -> TCustomSocksWSocket (SOCKS client) ->
// TCustomLineWSocket (line mode) -> TCustomSyncWSocket -> TWSocket; the
// listening server's classes derive from TWSocket.
//
// Re-entrancy: every event may close, abort or free its sender, or start a
// new operation on it.  After each callback the socket checks that it still
// exists and still holds the same descriptor before it goes on.

#include "net/SendQueue.h"
#include "net/WSocketLib.h"
#include "platform/AsyncLookup.h"
#include "platform/AsyncSelect.h"
#include "platform/HiddenWindow.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qordex {

// ---- the socket ------------------------------------------------------------

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsSocksConnected,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed,
};

// What the system socket is: a byte stream (TCP), datagrams (UDP) or raw IP.
enum class TSocketKind { Stream, Datagram, Raw };

// Component options, combined as bits.
enum TWSocketOption : unsigned {
    wsoNoReceiveLoop = 1u << 0,
    wsoTcpNoDelay = 1u << 1,
    wsoSIO_RCVALL = 1u << 2,
};
using TWSocketOptions = unsigned;

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };

// Messages of the socket's hidden window.
enum : unsigned {
    WM_ASYNCSELECT = WM_USER + 1,        // socket notification
    WM_ASYNCGETHOSTBYNAME = WM_USER + 2, // forward lookup completed
    WM_ASYNCGETHOSTBYADDR = WM_USER + 3, // reverse lookup completed
    WM_CLOSE_DELAYED = WM_USER + 4,      // CloseLater
    // Taken by the layers built on the core, so that the numbers stay apart.
    WM_TRIGGER_DATA_AVAILABLE = WM_USER + 20, // line mode: deliver what its buffer holds
    WM_CLIENT_CLOSED = WM_USER + 30,          // server: a client's session ended
};

class TLogger; // optional debug logger; no window attaches one

class TCustomWSocket {
public:
    TCustomWSocket();
    virtual ~TCustomWSocket();
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // ---- events (Sender first; a handler may free the sender) ----
    std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>
        OnChangeState;
    std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)> OnDnsLookupDone;
    // A connect attempt ended (also when it failed: look at ErrCode; State is
    // wsConnected either way).  UDP Connect and Listen raise it at once.
    std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)> OnSessionConnected;
    std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)> OnSessionAvailable;
    // Bytes or a datagram wait; the handler reads them.  Raised again while
    // bytes wait and the handler consumes some.  A handler that reads nothing
    // is not called again for the same input, but is for more input (more
    // bytes, another datagram) and for the peer's close.
    std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)> OnDataAvailable;
    // A piece of the send buffer was handed to the system: one event per
    // part of a SendBlockSize (1460-byte) block, counted from the moment the
    // buffer was last empty.  Runs outside any lock, after the buffer's
    // bookkeeping, possibly during Send; the handler may Send, Close, Abort
    // or free the socket.
    std::function<void(TCustomWSocket* Sender, int BytesSent)> OnSendData;
    // The send buffer became empty; always from the message loop.
    std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)> OnDataSent;
    // The session ended; once per session.  ErrCode carries how: a reset is
    // 10054 also when the application's own Receive met it first.  After a
    // peer's close it runs while State is still wsConnected, so a new
    // Connect must be posted to run from the loop, not made inside it.  Not
    // raised while the socket is being destroyed (nor is any other event).
    std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)> OnSessionClosed;
    // An operation failed; when assigned it replaces the ESocketException.
    std::function<void(TCustomWSocket* Sender)> OnError;
    // An exception escaped a handler run from the loop; CanClose (preset
    // true) aborts the socket afterwards.
    std::function<void(TCustomWSocket* Sender, const std::exception& E, bool& CanClose)>
        OnBgException;

    // ---- properties ----
    const std::string& Addr() const { return addrStr_; }
    void SetAddr(const std::string& v);
    const std::string& Port() const { return portStr_; }
    virtual void SetPort(const std::string& v);
    const std::string& Proto() const { return protoStr_; }
    virtual void SetProto(const std::string& v);
    const std::string& LocalAddr() const { return localAddrStr_; }
    void SetLocalAddr(const std::string& v);
    const std::string& LocalPort() const { return localPortStr_; }
    void SetLocalPort(const std::string& v);
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string PeerPort() { return GetPeerPort(); }
    const std::string& DnsResult() const { return dnsResult_; }
    const std::vector<std::string>& DnsResultList() const { return dnsResultList_; }
    TSocketState State() const { return state_; }
    long long ReadCount() const { return readCount_; }
    int RcvdCount() { return GetRcvdCount(); }
    int LastError() const { return lastError_; }
    void SetLastError(int v) { lastError_ = v; }
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool v) { multiThreaded_ = v; }
    bool MultiCast() const { return multiCast_; }
    void SetMultiCast(bool v) { multiCast_ = v; }
    const std::string& MultiCastAddrStr() const { return multiCastAddrStr_; }
    void SetMultiCastAddrStr(const std::string& v) { multiCastAddrStr_ = v; }
    int MultiCastIpTTL() const { return multiCastIpTTL_; }
    void SetMultiCastIpTTL(int v) { multiCastIpTTL_ = v; }
    bool ReuseAddr() const { return reuseAddr_; }
    void SetReuseAddr(bool v) { reuseAddr_ = v; }
    TWSocketOptions ComponentOptions() const { return options_; }
    void SetComponentOptions(TWSocketOptions v) { options_ = v; }
    int ListenBacklog() const { return listenBacklog_; }
    void SetListenBacklog(int v) { listenBacklog_ = v; }
    // Shared by all sockets; refused once the library has started.
    std::uint8_t ReqVerLow() const;
    void SetReqVerLow(std::uint8_t v);
    std::uint8_t ReqVerHigh() const;
    void SetReqVerHigh(std::uint8_t v);
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags v);
    // Linger: by default a Close is graceful (queued data arrives, then the
    // peer sees the end of stream).  An explicit non-zero LingerTimeout with
    // wsLingerOn is handed to the system as it is.
    TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff v) { lingerOnOff_ = v; }
    int LingerTimeout() const { return lingerTimeout_; }
    void SetLingerTimeout(int v) { lingerTimeout_ = v; }
    TSocketKeepAliveOnOff KeepAliveOnOff() const { return keepAliveOnOff_; }
    void SetKeepAliveOnOff(TSocketKeepAliveOnOff v) { keepAliveOnOff_ = v; }
    int KeepAliveTime() const { return keepAliveTime_; }
    void SetKeepAliveTime(int v) { keepAliveTime_ = v; }
    int KeepAliveInterval() const { return keepAliveInterval_; }
    void SetKeepAliveInterval(int v) { keepAliveInterval_ = v; }
    TLogger* Logger() const { return logger_; }
    virtual void SetLogger(TLogger* v) { logger_ = v; }
    TSocket HSocket() const { return hSocket_; }
    virtual void SetHSocket(TSocket h) { Dup(h); }
    bool AllSent() const { return allSent_; }
    long long BufferedBytes() const { return sendQueue_.Bytes(); }
    // The memory the send buffer keeps, queued bytes or not (its blocks'
    // capacity): what an idle connection costs.
    std::size_t SendBufferHeld() const { return sendQueue_.HeldBytes(); }
    int SendBlockSize() const { return sendQueue_.BlockSize(); }
    void SetSendBlockSize(int v) { sendQueue_.SetBlockSize(v); }
    bool Paused() const { return paused_; }
    HiddenWindow* Window() const { return window_.get(); }

    // ---- operations ----
    virtual void Connect();
    virtual void Listen();
    virtual TSocket Accept();
    virtual void Dup(TSocket h);
    // Close is graceful: what was queued is still sent (in the background,
    // after Close returned; on a worker thread at the latest when the thread
    // ends), then the stream ends; Abort resets at once and drops what was
    // queued.
    virtual void Close();
    // Closes from the loop; a request left over from an ended session does
    // not end the next one.
    virtual void CloseLater();
    virtual void Abort();
    virtual void Shutdown(int How);
    // Waits, pumping this thread's loop, until the send buffer is empty, the
    // session ends or a send fails.  From OnSendData it returns at once (the
    // send round it interrupts carries on when the handler returns).
    virtual void Flush();
    virtual int Send(const void* Data, int Len);
    int Send(const std::string& s) { return SendText(s); }
    virtual int SendText(const std::string& Str);
    virtual void QueueData(const void* Data, int Len);
    void QueueText(const std::string& Str);
    virtual int SendTo(const TSockAddrIn& Dest, int DestLen, const void* Data, int Len);
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveText();
    virtual int ReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From, int& FromLen);
    virtual int Peek(void* Buffer, int BufferSize);
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelLookup();
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual int GetPeerSockAddr(TSockAddrIn& Addr, int Len);
    virtual std::string GetBoundPort();
    virtual std::string GetBoundAddr();
    virtual int GetLocalSockAddr(TSockAddrIn& Addr, int& Len);
    // Pause stops every event of the socket's notifications; Resume brings
    // back each condition that still holds: waiting data, a connection to
    // accept, the peer's close, a finished connect and room to write.
    virtual void Pause();
    virtual void Resume();
    // Processes the owning thread's pending messages (never another thread's).
    virtual void PumpMessages();

protected:
    // ---- for the layers built on the core ------------------------------------
    //
    // SOCKS, line mode and the socket server derive from this class and use
    // only what follows; applications use the public side.
    //
    // * Received bytes: the core's receive round calls TriggerDataAvailable
    //   once per pass and goes round again only while the pass took bytes
    //   from the system (RawReceive of this class counts them) and more wait.
    //   A layer that keeps bytes of its own (SOCKS leftovers, the line
    //   buffer) serves them from its RawReceive and GetRcvdCount overrides
    //   and must run its own delivery loop for them (once per line, stopping
    //   when a handler takes nothing), because the core's round does not see
    //   those bytes.  Bytes already held are not announced by the system
    //   again: post a message to yourself (PostToSelf) to be woken for them.
    // * Connect completion: TriggerSessionConnected is called when the
    //   connection (to a proxy, say) is made, or failed, with State already
    //   wsConnected; an override may hold OnSessionConnected back and raise it
    //   later with TriggerSessionConnectedSpecial.  SetResolvedDestination
    //   points the next Connect at another address than Addr:Port.
    // * Raw bytes: SendRaw queues and sends through the core's own buffer,
    //   whatever an override of Send does.
    // * Accepting: TriggerSessionAvailable is called when a connection waits;
    //   Accept takes it and Dup (on another socket) adopts it.
    // * Own messages: WndProc dispatches the hidden window's messages; an
    //   override handles its own numbers (see the message enum) and passes
    //   every other one on.  Messages posted to a socket that is destroyed
    //   before the loop handles them are dropped.
    // * Session end: TriggerSessionClosed raises OnSessionClosed, once per
    //   session; InternalClose ends the session with an error code;
    //   ResetDefaults runs after every close (an override resets its own
    //   settings and calls this one).
    // * Lifetime: every callback may free the socket, close it or start a new
    //   session; take a LifeCheck before and look at it after.

    virtual void WndProc(unsigned msg, WPARAM wParam, LPARAM lParam);
    // Queues a message for this socket's own window; it comes back through
    // WndProc from the loop, never inside the call.
    void PostToSelf(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Raises OnDataAvailable; returns whether a handler took care of the data.
    virtual bool TriggerDataAvailable(int error);
    // The source of Receive and Peek: the system's receive of this class.
    virtual int RawReceive(void* buffer, int size, int flags);
    // The bytes waiting to be read (RcvdCount).
    virtual int GetRcvdCount();

    // A connect attempt ended; by default raises OnSessionConnected.
    virtual void TriggerSessionConnected(int error);
    // Raises OnSessionConnected itself, for a layer that held it back.
    void TriggerSessionConnectedSpecial(int error);
    // The next Connect goes to this address (network order) and port (host
    // order) instead of resolving Addr and Port; Addr and Port must still be
    // assigned.  Cleared by every close.
    void SetResolvedDestination(std::uint32_t addr, std::uint16_t port);

    int SendRaw(const void* data, int len);

    virtual void TriggerSessionAvailable(int error);

    virtual void TriggerSessionClosed(int error);
    // Ends the session: with `shut` the close is graceful (what is queued
    // still goes out); `error` is carried by OnSessionClosed.
    virtual void InternalClose(bool shut, int error);
    virtual void ResetDefaults();

    // The other events' triggers, overridable by convention.
    virtual void TriggerDataSent(int error);
    virtual void TriggerSendData(int bytesSent);
    virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
    virtual void TriggerDnsLookupDone(int error);
    virtual void TriggerError();

    // OnError when assigned, else ESocketException with `msg`.
    virtual void ReportError(const std::string& msg);
    // "Error <n> in function <func>" + CR LF + the error text; closes the
    // socket first for 10054 and 10057.
    void RaiseSocketError(const std::string& func, int error);
    // OnBgException, then Abort unless the handler said no.
    virtual void HandleBgException(const std::exception& e);

    // Taken before a handler runs; afterwards it tells whether the socket
    // still exists (Alive) and still holds the descriptor it held then
    // (Same).  A handler may free its socket, close it, or close it and start
    // a new session on it; after every callback check before going on.
    class LifeCheck {
    public:
        explicit LifeCheck(const TCustomWSocket& s);
        bool Alive() const { return !alive_.expired(); }
        bool Same() const;

    private:
        const TCustomWSocket* socket_;
        std::weak_ptr<char> alive_;
        SocketTag tag_;
    };
    // True while the destructor runs: no event leaves the socket then.
    bool Destroying() const { return destroying_; }
    // Identifies the current descriptor's life; 0 without one.
    SocketTag Tag() const { return select_ ? select_->Tag() : 0; }

private:
    void SafeWndProc(unsigned msg, WPARAM wParam, LPARAM lParam);
    void OnNotification(unsigned event, int error);
    void OnLookupResult(LookupId id, const LookupResult& result, bool reverse);
    void Do_FD_CONNECT(int error);
    void Do_FD_READ(int error);
    void Do_FD_WRITE(int error);
    void Do_FD_ACCEPT(int error);
    void Do_FD_CLOSE(int error);
    void DrainReceive(int error, TWSocketOptions options, bool bounded = true);
    int RawReceiveFrom(void* buffer, int size, TSockAddrIn& from, int& fromLen);

    void TryToSend();
    bool SendDirect(const char* data, int len);
    SendMode Mode() const;
    void DiscardSendBuffer();

    void InternalAbort(int error);
    void CloseHandleGracefully(TSocket fd);
    void ChangeState(TSocketState newState);

    // Resolves the port and address texts not resolved yet; throws ESocketException.
    void ResolveDestination();
    // Opens a non-blocking descriptor of the resolved kind and watches it;
    // -1 after reporting the failure under `func`.
    int OpenDescriptor(const char* func);
    void AttachSelect(TSocket fd);
    void BindLocal();
    void ApplyLinger();
    void ApplyKeepAlive();
    bool ChangeWhileClosed(const char* name, const std::string& value, std::string& text,
                           bool& assigned, bool& resolved);

    std::shared_ptr<char> alive_; // expires with the object, for LifeCheck
    std::unique_ptr<HiddenWindow> window_;
    std::unique_ptr<AsyncSelect> select_;
    unsigned selectedMask_ = 0; // remembered across Pause
    TSocket hSocket_ = INVALID_SOCKET;
    TSocketState state_ = wsClosed;
    TSocketKind kind_ = TSocketKind::Stream;
    int proto_ = 6;
    TSockAddrIn sin_{}; // destination; bound address for Listen; peer after Accept
    bool udpDestKnown_ = false;

    std::string addrStr_, portStr_, protoStr_ = "tcp";
    std::string localAddrStr_ = "0.0.0.0", localPortStr_ = "0";
    bool addrAssigned_ = false, portAssigned_ = false, protoAssigned_ = true;
    bool addrResolved_ = false, portResolved_ = false, protoResolved_ = false;
    bool localPortResolved_ = false;
    int portNum_ = 0, localPortNum_ = 0;

    SendQueue sendQueue_;
    bool allSent_ = true;
    bool inTryToSend_ = false; // TryToSend is raising its events
    bool sendAgain_ = false;   // a nested TryToSend asked for another round
    unsigned sendErrors_ = 0;  // send failures reported, so that Flush stops at one

    bool paused_ = false;
    bool closeInvoked_ = false; // OnSessionClosed was raised for this session
    bool destroying_ = false;
    long long readCount_ = 0;
    std::uint64_t consumed_ = 0; // bytes taken from the system, for the receive loop
    int lastError_ = 0;
    int recvError_ = 0; // a connection error that a Receive met, for the close
    int sndBufSize_ = 0, rcvBufSize_ = 0;

    LookupId lookupId_ = 0;
    LookupResult lookupResult_;
    std::string dnsResult_;
    std::vector<std::string> dnsResultList_;

    bool multiThreaded_ = false;
    bool multiCast_ = false;
    std::string multiCastAddrStr_;
    int multiCastIpTTL_ = 1;
    bool reuseAddr_ = false;
    TWSocketOptions options_ = 0;
    int listenBacklog_ = 5;
    int sendFlags_ = 0; // 0 or MSG_OOB
    TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
    int lingerTimeout_ = 0;
    TSocketKeepAliveOnOff keepAliveOnOff_ = wsKeepAliveOnSystem;
    int keepAliveTime_ = 30000;
    int keepAliveInterval_ = 1000;
    TLogger* logger_ = nullptr;
};

} // namespace qordex

// The layers built on the core, in the order of the class chain.
#define QORDEX_WSOCKET_LAYERS
// clang-format off
#include "net/SocksWSocket.h"
#include "net/LineWSocket.h"
// clang-format on

namespace qordex {

// An empty layer between line mode and the published socket.
class TCustomSyncWSocket : public TCustomLineWSocket {};

// The socket that engines use: the core with SOCKS and line mode.
class TWSocket : public TCustomSyncWSocket {};

} // namespace qordex
