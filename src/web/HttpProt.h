#pragma once
// The HTTP client engine: one HTTP/1.0 or HTTP/1.1 request at a time over a
// socket it owns, directly or through an HTTP proxy; relocations, chunked
// bodies, Basic and NTLM authentication for the server and the proxy, and
// the hand-off of the body to a content-coding chain, a stream and events.
//
// Everything runs on the thread that created the engine.  Three
// notifications are posted to the engine's own queue (request done, set
// ready, log in again), so that no completion is raised inside the call
// that caused it.  Get, Head and Post block, pumping the thread's loop,
// until the request is done; GetAsync returns at once.
//
// Re-entrancy: every event may free the engine or start a new request from
// OnRequestDone.  The engine checks after each callback that it still lives.

#include "base/Stream.h"
#include "net/WSocket.h"
#include "web/HttpReader.h"
#include "web/NtlmMsgs.h"

#include <QDateTime>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QTimer;

namespace qordex::web {

class THttpContCodHandler;

enum THttpState {
    httpReady,
    httpNotConnected,
    httpConnected,
    httpDnsLookup,
    httpDnsLookupDone,
    httpWaitingHeader,
    httpWaitingBody,
    httpBodyReceived,
    httpWaitingProxyConnect,
    httpClosing,
    httpAborting,
};

// "httpReady" and the rest; "INVALID STATE" out of range.
const char* HttpStateName(int state);

enum THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

enum THttpCliOption : unsigned {
    httpoNoBasicAuth = 1u << 0,
    httpoNoNTLMAuth = 1u << 1,
    httpoBandwidthControl = 1u << 2,
    httpoEnableContentCoding = 1u << 3,
    httpoUseQuality = 1u << 4,
};
using THttpCliOptions = unsigned;

// Which scheme to use before being challenged.
enum THttpAuthType { httpAuthNone, httpAuthBasic, httpAuthNtlm };

// Error codes: of EHttpException (1 busy, 2 nothing to post or put, 5
// unsupported version, 6 unexpected authentication state, 7 a CR, LF or NUL
// in a text to send, a status code for a failed blocking request) and of
// OnRequestDone (0, a socket error number, 3 aborted, 8 an answer that
// breaks the protocol or ends early).
enum : int {
    httperrBusy = 1,
    httperrNothingToSend = 2,
    httperrAborted = 3,
    httperrVersion = 5,
    httperrAuthState = 6,
    httperrLineBreak = 7,
    httperrBadAnswer = 8,
};

// The engine's own status code for an answer it refused (a broken chunk
// size, a header past its limit, a body cut short, no answer at all).
inline constexpr int kHttpStatusBadAnswer = 502;

class EHttpException : public std::runtime_error {
public:
    EHttpException(const std::string& msg, int code) : std::runtime_error(msg), code_(code) {}
    int ErrorCode() const { return code_; }

private:
    int code_;
};

// Trace levels: protocol steps, and the detailed level (each received line,
// "FCloseReq=", the NTLM preparation).
enum class THttpTrace { Protocol, Detail };

class THttpCli {
public:
    THttpCli();
    ~THttpCli();
    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // ---- events (Sender first; every handler may free the engine) ----
    std::function<void(THttpCli* Sender)> OnStateChange;
    // The socket connected, or failed to (then StatusCode is 404).
    std::function<void(THttpCli* Sender)> OnSessionConnected;
    // The connection closed and no relocation follows.
    std::function<void(THttpCli* Sender)> OnSessionClosed;
    std::function<void(THttpCli* Sender)> OnRequestHeaderBegin;
    std::function<void(THttpCli* Sender)> OnRequestHeaderEnd;
    // The request's header lines, composed and not sent yet; editable.
    std::function<void(THttpCli* Sender, const std::string& Method,
                       std::vector<std::string>& Headers)>
        OnBeforeHeaderSend;
    // Once per request header line before it is written; S may be changed
    // or emptied (an empty line is left out).
    std::function<void(THttpCli* Sender, std::string& S)> OnCommand;
    std::function<void(THttpCli* Sender)> OnSendBegin;
    std::function<void(THttpCli* Sender, const char* Buffer, int Len)> OnSendData;
    std::function<void(THttpCli* Sender)> OnSendEnd;
    std::function<void(THttpCli* Sender)> OnHeaderBegin;
    std::function<void(THttpCli* Sender)> OnHeaderEnd;
    // After each answer header line, which is in LastResponse.
    std::function<void(THttpCli* Sender)> OnHeaderData;
    // Each "Set-Cookie" value; Accept starts true and is not consulted.
    std::function<void(THttpCli* Sender, const std::string& Data, bool& Accept)> OnCookie;
    // Before the first body byte; the handler may set or replace RcvdStream.
    std::function<void(THttpCli* Sender)> OnDocBegin;
    std::function<void(THttpCli* Sender, const char* Buffer, int Len)> OnDocData;
    // After the last body byte; the handler may let go of RcvdStream.
    std::function<void(THttpCli* Sender)> OnDocEnd;
    // A relocation to Location is about to be requested.
    std::function<void(THttpCli* Sender)> OnLocationChange;
    std::function<void(THttpCli* Sender, int RelocationCount, bool& AllowMoreRelocations)>
        OnLocationChangeExceeded;
    // Once per request, from the engine's queue.
    std::function<void(THttpCli* Sender, THttpRequest RqType, std::uint16_t ErrCode)> OnRequestDone;
    // A line arrived while no request reads.
    std::function<void(THttpCli* Sender, std::uint16_t ErrCode)> OnDataPush;
    // The first answer line is not an HTTP/1.0 or HTTP/1.1 status line.
    std::function<void(THttpCli* Sender)> OnDataPush2;
    // Forwarded from the socket: a socket operation failed.
    std::function<void(THttpCli* Sender)> OnSocketError;
    // Forwarded from the socket: the TCP connection to the SOCKS server was
    // made (0) or failed; the negotiation failed with a code and a text.
    std::function<void(THttpCli* Sender, std::uint16_t ErrCode)> OnSocksConnected;
    std::function<void(THttpCli* Sender, int Error, const std::string& Msg)> OnSocksError;
    // Trace lines (none when unassigned).
    std::function<void(THttpCli* Sender, THttpTrace Level, const std::string& Line)> OnTrace;

    // ---- properties ----
    const std::string& URL() const { return url_; }
    void SetURL(const std::string& v) { url_ = v; }
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::string& v) { localAddr_ = v; }
    const std::string& Proxy() const { return proxy_; }
    void SetProxy(const std::string& v) { proxy_ = v; }
    const std::string& ProxyPort() const { return proxyPort_; }
    void SetProxyPort(const std::string& v) { proxyPort_ = v; }
    const std::string& Sender() const { return sender_; }
    void SetSender(const std::string& v) { sender_ = v; }
    const std::string& Agent() const { return agent_; }
    void SetAgent(const std::string& v) { agent_ = v; }
    const std::string& Accept() const { return accept_; }
    void SetAccept(const std::string& v) { accept_ = v; }
    const std::string& AcceptLanguage() const { return acceptLanguage_; }
    void SetAcceptLanguage(const std::string& v) { acceptLanguage_ = v; }
    const std::string& Reference() const { return reference_; }
    void SetReference(const std::string& v) { reference_ = v; }
    const std::string& Connection() const { return connection_; }
    void SetConnection(const std::string& v) { connection_ = v; }
    const std::string& ProxyConnection() const { return proxyConnection_; }
    void SetProxyConnection(const std::string& v) { proxyConnection_ = v; }
    const std::string& Username() const { return username_; }
    void SetUsername(const std::string& v) { username_ = v; }
    const std::string& Password() const { return password_; }
    void SetPassword(const std::string& v) { password_ = v; }
    const std::string& ProxyUsername() const { return proxyUsername_; }
    void SetProxyUsername(const std::string& v) { proxyUsername_ = v; }
    const std::string& ProxyPassword() const { return proxyPassword_; }
    void SetProxyPassword(const std::string& v) { proxyPassword_ = v; }
    bool NoCache() const { return noCache_; }
    void SetNoCache(bool v) { noCache_ = v; }
    // Local date and time; a null value sends no condition.  Sent in UTC.
    const QDateTime& ModifiedSince() const { return modifiedSince_; }
    void SetModifiedSince(const QDateTime& v) { modifiedSince_ = v; }
    const std::string& Cookie() const { return cookie_; }
    void SetCookie(const std::string& v) { cookie_ = v; }
    const std::string& ContentTypePost() const { return contentTypePost_; }
    void SetContentTypePost(const std::string& v) { contentTypePost_ = v; }
    const std::string& ContentRangeBegin() const { return contentRangeBegin_; }
    void SetContentRangeBegin(const std::string& v) { contentRangeBegin_ = v; }
    const std::string& ContentRangeEnd() const { return contentRangeEnd_; }
    void SetContentRangeEnd(const std::string& v) { contentRangeEnd_ = v; }
    const std::string& AcceptRanges() const { return acceptRanges_; }
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool v);
    const std::string& RequestVer() const { return requestVer_; }
    // "1.0" or "1.1"; anything else raises "Insupported HTTP version" (5).
    void SetRequestVer(const std::string& v);
    bool FollowRelocation() const { return followRelocation_; }
    void SetFollowRelocation(bool v) { followRelocation_ = v; }
    int LocationChangeMaxCount() const { return locationChangeMaxCount_; }
    void SetLocationChangeMaxCount(int v) { locationChangeMaxCount_ = v; }
    int LocationChangeCurCount() const { return locationChangeCurCount_; }
    int BandwidthLimit() const { return bandwidthLimit_; }
    void SetBandwidthLimit(int v) { bandwidthLimit_ = v; }
    int BandwidthSampling() const { return bandwidthSampling_; }
    void SetBandwidthSampling(int v) { bandwidthSampling_ = v; }
    THttpCliOptions Options() const { return options_; }
    void SetOptions(THttpCliOptions v);
    // Copied into the socket before each connect; an empty SocksServer
    // connects directly.
    const std::string& SocksServer() const { return socksServer_; }
    void SetSocksServer(const std::string& v) { socksServer_ = v; }
    const std::string& SocksPort() const { return socksPort_; }
    void SetSocksPort(const std::string& v) { socksPort_ = v; }
    const std::string& SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(const std::string& v) { socksLevel_ = v; }
    const std::string& SocksUsercode() const { return socksUsercode_; }
    void SetSocksUsercode(const std::string& v) { socksUsercode_ = v; }
    const std::string& SocksPassword() const { return socksPassword_; }
    void SetSocksPassword(const std::string& v) { socksPassword_ = v; }
    TSocksAuthentication SocksAuthentication() const { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication v) { socksAuthentication_ = v; }
    TLogger* Logger() const { return logger_; }
    void SetLogger(TLogger* v) {
        logger_ = v;
        ctrlSocket_->SetLogger(v);
    }

    // ---- run-time members ----
    int StatusCode() const { return statusCode_; }
    const std::string& ReasonPhrase() const { return reasonPhrase_; }
    TStream* RcvdStream() const { return rcvdStream_; }
    void SetRcvdStream(TStream* s) { rcvdStream_ = s; }
    TStream* SendStream() const { return sendStream_; }
    void SetSendStream(TStream* s) { sendStream_ = s; }
    const std::vector<std::string>& RcvdHeader() const { return rcvdHeader_; }
    const std::string& LastResponse() const { return lastResponse_; }
    long long ContentLength() const { return contentLength_; }
    const std::string& ContentType() const { return contentType_; }
    const std::string& TransferEncoding() const { return transferEncoding_; }
    const std::string& ContentEncoding() const { return contentEncoding_; }
    const std::string& Location() const { return location_; }
    const std::string& DocName() const { return docName_; }
    const std::string& Path() const { return path_; }
    long long RcvdCount() const { return rcvdCount_; }
    long long SentCount() const { return sentCount_; }
    THttpState State() const { return state_; }
    THttpRequest RequestType() const { return requestType_; }
    THttpAuthType ServerAuth() const { return serverAuth_; }
    void SetServerAuth(THttpAuthType v) { serverAuth_ = v; }
    THttpAuthType ProxyAuth() const { return proxyAuth_; }
    void SetProxyAuth(THttpAuthType v) { proxyAuth_ = v; }
    // The engine's socket, for its settings (SOCKS, options).
    TWSocket& CtrlSocket() { return *ctrlSocket_; }
    THttpContCodHandler& ContentCodingHnd() { return *contentCodingHnd_; }

    // ---- authentication states (0 none; NTLM 1 first message to send,
    // 3 third to send, 4 done; Basic 1 credentials to send, 2 done) ----
    int AuthNTLMState() const { return authNtlmState_; }
    int ProxyAuthNTLMState() const { return proxyAuthNtlmState_; }
    int AuthBasicState() const { return authBasicState_; }
    int ProxyAuthBasicState() const { return proxyAuthBasicState_; }

    // ---- operations ----
    void Get();
    void Head();
    void Post();
    void GetAsync();
    void Abort();

    // URL splitter shared with the tool: outputs in this order; `path` is
    // read first as the base of relative forms.
    static void ParseURL(const std::string& url, std::string& proto, std::string& user,
                         std::string& pass, std::string& host, std::string& port,
                         std::string& path);

private:
    enum class Consumer { None, Header, Body };
    enum class ClosedMode { Normal, Ignore };

    class Life {
    public:
        explicit Life(const THttpCli& c) : w_(c.alive_) {}
        bool Dead() const { return w_.expired(); }

    private:
        std::weak_ptr<char> w_;
    };

    // Raises an event with a copy of its handler; false when the engine died.
    template<class Fn, class... Args> bool Fire(const Fn& ev, Args&&... args) {
        if (!ev)
            return true;
        const Life life(*this);
        Fn copy = ev;
        copy(this, std::forward<Args>(args)...);
        return !life.Dead();
    }

    void Trace(THttpTrace level, const std::string& line);
    bool SetState(THttpState s);

    // Requests.
    void DoRequestSync(THttpRequest rq);
    void DoRequestAsync(THttpRequest rq);
    void CheckTexts() const;
    void ClearPerRequest(bool keepDocName, bool keepLocation);
    void PrepareAuthAtStart(bool sameConnection);
    bool Login();
    bool DropConnection();
    void SocketDnsLookupDone(int error);
    void SocketSessionConnected(int error);
    void SocketSessionClosed(int error);
    void SocketDataAvailable(int error);
    void SocketDataSent(int error);
    bool SendRequest(const std::string& method, const std::string& version);
    bool SendBodyBlock();

    // Answers.
    bool ProcessHeld();
    bool HeaderLine(const std::string& line, const std::string& raw);
    bool HeaderField(const THttpHeaderField& f);
    bool HeaderEnd();
    void HandleLocation(const std::string& value);
    bool ReceiveBody();
    bool DeliverHeldToBody();
    // Hands body bytes to the body reader; returns false when the engine died.
    bool BodyData(const char* data, std::size_t n, std::size_t& used);
    bool BeginBody();
    bool EndBody();
    bool AfterBody();
    bool BodyComplete() const;
    void Fail(const std::string& reason);

    // Completion, relocation, authentication.
    void Complete();
    void OnSetReady(unsigned serial);
    void OnLoginAgain(unsigned serial);
    void PostLoginAgain();
    void PostRequestDone(THttpRequest rq, int error);
    bool BeginRelocation(bool connectionOpen);
    bool ContinueRelocation();
    void RewindStreams();
    bool PrepareNTLMAuth(bool& discard);
    bool PrepareBasicAuth(bool& discard);
    bool NtlmStep(bool proxy);
    bool BasicStep(bool proxy);
    bool CredentialsApply() const;
    std::string Origin() const;
    std::string HostHeaderValue() const;
    // The SOCKS route a new connection would take, to compare with curSocks_.
    std::string SocksRoute() const;
    bool SameConnection() const;

    // Bandwidth control.
    void StartBandwidthControl();
    void StopBandwidthControl();
    void CountReceived(int n);
    void BandwidthTick();

    // ---- properties ----
    std::string url_, localAddr_ = "0.0.0.0", proxy_, proxyPort_ = "80", sender_;
    std::string agent_ = "Mozilla/4.0 (compatible; Qordex)";
    std::string accept_ = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string acceptLanguage_, reference_, connection_, proxyConnection_;
    std::string username_, password_, proxyUsername_, proxyPassword_;
    bool noCache_ = false;
    QDateTime modifiedSince_;
    std::string cookie_;
    std::string contentTypePost_ = "application/x-www-form-urlencoded";
    std::string contentRangeBegin_, contentRangeEnd_, acceptRanges_;
    bool multiThreaded_ = false;
    std::string requestVer_ = "1.0";
    bool followRelocation_ = true;
    int locationChangeMaxCount_ = 5;
    int locationChangeCurCount_ = 0;
    int bandwidthLimit_ = 10000;
    int bandwidthSampling_ = 1000;
    THttpCliOptions options_ = 0;
    TLogger* logger_ = nullptr;
    std::string socksServer_, socksPort_, socksLevel_ = "5", socksUsercode_, socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
    std::string socksErrorText_; // the last negotiation failure, for ReasonPhrase

    // ---- run-time ----
    int statusCode_ = 0;
    std::string reasonPhrase_;
    TStream* rcvdStream_ = nullptr;
    TStream* sendStream_ = nullptr;
    std::vector<std::string> rcvdHeader_;
    std::string lastResponse_;
    long long contentLength_ = -1;
    std::string contentType_, transferEncoding_, contentEncoding_, location_, docName_, path_;
    long long rcvdCount_ = 0, sentCount_ = 0;
    THttpState state_ = httpReady;
    THttpRequest requestType_ = httpGET;
    THttpAuthType serverAuth_ = httpAuthNone, proxyAuth_ = httpAuthNone;

    // ---- the request and its connection ----
    bool closeReq_ = false;       // close the connection after this answer
    bool forceClose_ = false;     // the answer's framing forbids keeping the connection
    bool locationFlag_ = false;   // a relocation has been accepted
    bool headerFlag_ = false;     // an answer header is being received
    bool allowedToSend_ = false;  // the body is being sent
    bool connected_ = false;      // a session is up (for the trace and relocations)
    bool closePending_ = false;   // a close of this connection was requested
    bool relocWaitClose_ = false; // a relocation waits for the connection to close
    bool answerSeen_ = false;     // the answer's first line arrived
    std::string curHost_, curPort_, curProto_; // of the open connection
    std::string curSocks_;                     // ... and the SOCKS route it took
    std::string hostName_, port_;              // to connect to: the target or the proxy
    std::string targetHost_, targetPort_;      // for "Host:"
    std::string protocol_;                     // of the target
    std::string curUsername_, curPassword_;    // server credentials in use
    std::string credOrigin_;                   // "scheme://host:port" they were given for
    std::string curConnection_, curProxyConnection_;
    std::string responseVer_; // "1.0", "1.1" or empty before a status line
    int headerLineCount_ = 0;
    std::size_t headerBytes_ = 0;
    Consumer consumer_ = Consumer::None;
    THttpChunkDecoder chunk_;
    bool chunked_ = false;  // the body of this answer is chunked
    bool docBegun_ = false; // OnDocBegin fired for this answer
    bool docEnded_ = false; // OnDocEnd fired for this answer
    long long rcvdStreamStart_ = -1;
    int requestDoneError_ = 0;
    THttpLineBuffer lineBuf_;
    std::vector<char> bodyBuf_;
    std::vector<std::string> authChallenges_;
    ClosedMode closedMode_ = ClosedMode::Normal;

    // ---- authentication ----
    int authNtlmState_ = 0, proxyAuthNtlmState_ = 0;
    int authBasicState_ = 0, proxyAuthBasicState_ = 0;
    TNTLM_Msg2_Info ntlmMsg2Info_, proxyNtlmMsg2Info_;

    // ---- posted notifications ----
    unsigned serial_ = 0;     // the request they belong to
    unsigned doneSerial_ = 0; // a request that Abort already reported
    bool completePosted_ = false;

    // ---- bandwidth control ----
    std::unique_ptr<QTimer> bwTimer_;
    long long bwCount_ = 0, bwMaxCount_ = 0;
    bool bwPaused_ = false;

    std::unique_ptr<THttpContCodHandler> contentCodingHnd_;
    std::unique_ptr<TWSocket> ctrlSocket_;
    std::unique_ptr<HiddenWindow> window_;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// The date of an "If-Modified-Since" line for a local date and time, in
// UTC (RFC 7231 section 7.1.1.1): "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(const QDateTime& local);

} // namespace qordex::web
