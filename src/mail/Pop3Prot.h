#pragma once
// The asynchronous POP3 client (RFC 1939, with the older RPOP and LAST
// commands and SASL authentication).  Every operation sends one command,
// returns at once and ends with exactly one OnRequestDone, which is always
// posted and so runs from the message loop: its handler may start the next
// operation at once.  Multi-line answers (LIST, UIDL, RETR, TOP) arrive line
// by line through begin, line and end events, dot-unstuffed; while a
// message is retrieved its main header fields are collected.
//
// Nothing from the user reaches the wire unchecked: a CR, LF or NUL in the
// user name or password is refused with Pop3Exception before anything is
// sent.  A line from the server longer than kMaxPop3Line fails the request
// and drops the connection instead of being delivered in pieces.
//
// Re-entrancy: every event may free the component; the engine checks after
// each one that it still exists before it goes on.

#include "base/LineReader.h"
#include "mail/Pop3Text.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

class QTimer;

namespace qordex {
class TWSocket;
class HiddenWindow;
} // namespace qordex

namespace qordex::mail {

class Pop3Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TPop3ProtocolState {
    pop3Disconnected,
    pop3WaitingUser,
    pop3WaitingPass,
    pop3Transaction,
};
enum TPop3Request {
    pop3Connect,
    pop3User,
    pop3Pass,
    pop3RPop,
    pop3Quit,
    pop3Stat,
    pop3List,
    pop3Retr,
    pop3Top,
    pop3Dele,
    pop3Noop,
    pop3Last,
    pop3RSet,
    pop3Uidl,
    pop3APop,
    pop3Open,
    pop3Auth,
    pop3Custom, // never issued
};
enum TPop3AuthType {
    popAuthNone,
    popAuthLogin,
    popAuthCramMD5,
    popAuthCramSHA1,
};
// The engine's own state; each change raises OnStateChange.
enum TPop3State {
    pop3Ready,
    pop3DnsLookup,
    pop3Connecting,
    pop3Connected,
    pop3InternalReady,
    pop3WaitingBanner,
    pop3WaitingResponse,
    pop3Abort,
};

// Error codes of OnRequestDone besides socket errors.
constexpr int kPop3Failure = 500;  // a "-" answer, or a failure on this side (see ErrorMessage)
constexpr int kPop3Closed = 10004; // the connection closed under the request
constexpr int kPop3Aborted = 426;  // Abort during Open

// After an accepted QUIT the server closes the connection; one that does
// not is closed by us after this long, so that QUIT always ends.
constexpr int kPop3QuitCloseMs = 5000;

class TCustomPop3Cli {
public:
    TCustomPop3Cli();
    virtual ~TCustomPop3Cli();
    TCustomPop3Cli(const TCustomPop3Cli&) = delete;
    TCustomPop3Cli& operator=(const TCustomPop3Cli&) = delete;

    using Notify = std::function<void(TCustomPop3Cli* Sender)>;
    using Display = std::function<void(TCustomPop3Cli* Sender, const std::string& Msg)>;
    using Session = std::function<void(TCustomPop3Cli* Sender, std::uint16_t ErrCode)>;

    // ---- events (Sender first; each handler may free the component) ----
    // "> " + each command sent, "< " + each status line, and the texts of
    // refused calls.
    Display OnDisplay;
    // Every line received, before it is handled.
    Display OnResponse;
    // Once per request, from the message loop.
    std::function<void(TCustomPop3Cli* Sender, TPop3Request RqType, std::uint16_t Error)>
        OnRequestDone;
    // After a good greeting (0).
    Session OnSessionConnected;
    // When the connection closed.
    Session OnSessionClosed;
    Notify OnStateChange;
    // RETR and TOP answers; a line handler reads the line from LastResponse.
    Notify OnMessageBegin, OnMessageLine, OnMessageEnd;
    // LIST without a number; MsgNum and MsgSize hold each line's values.
    Notify OnListBegin, OnListLine, OnListEnd;
    // UIDL without a number; MsgNum and MsgUidl hold each line's values.
    Notify OnUidlBegin, OnUidlLine, OnUidlEnd;
    // At the empty line that ends a retrieved message's header.
    Notify OnHeaderEnd;

    // ---- properties ----
    const std::string& Host() const { return host_; }
    void SetHost(const std::string& v) { host_ = v; }
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::string& v) { localAddr_ = v; }
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& v) { port_ = v; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(const std::string& v) { userName_ = v; }
    const std::string& PassWord() const { return passWord_; }
    void SetPassWord(const std::string& v) { passWord_ = v; }
    TPop3AuthType AuthType() const { return authType_; }
    void SetAuthType(TPop3AuthType v) { authType_ = v; }
    // The first error line of the current request.
    const std::string& ErrorMessage() const { return errorMessage_; }
    // The last line received; during a multi-line answer the current data line.
    const std::string& LastResponse() const { return lastResponse_; }
    TPop3ProtocolState ProtocolState() const { return protocolState_; }
    int MsgCount() const { return msgCount_; }
    int MsgSize() const { return msgSize_; }
    int MsgNum() const { return msgNum_; }
    void SetMsgNum(int v) { msgNum_ = v; }
    int MsgLines() const { return msgLines_; }
    void SetMsgLines(int v) { msgLines_ = v; }
    const std::string& MsgUidl() const { return msgUidl_; }
    std::int32_t Tag() const { return tag_; }
    void SetTag(std::int32_t v) { tag_ = v; }

    // The header fields of the message being retrieved.
    const std::string& MsgFrom() const { return header_.from; }
    const std::string& MsgTo() const { return header_.to; }
    const std::string& MsgCc() const { return header_.cc; }
    const std::string& MsgSubject() const { return header_.subject; }
    const std::string& MsgDate() const { return header_.date; }
    const std::string& MsgId() const { return header_.messageId; }
    const std::string& MsgReplyTo() const { return header_.replyTo; }
    const std::string& MsgInReplyTo() const { return header_.inReplyTo; }
    const std::string& MsgReturnPath() const { return header_.returnPath; }

    // The owned socket; its SOCKS settings may be assigned before Connect or
    // Open (every close resets them).
    TWSocket& ConnectionSocket() { return *socket_; }
    TPop3State State() const { return state_; }
    bool Connected() const { return connected_; }
    // How long after an accepted QUIT the engine closes a connection that
    // the server left open.
    void SetQuitCloseDelay(int ms) { quitCloseMs_ = ms; }

    // ---- operations; misuse throws Pop3Exception ----
    virtual void Connect();
    virtual void Open();
    virtual void Auth();
    virtual void User();
    virtual void Pass();
    virtual void RPop();
    virtual void APop();
    virtual void Quit();
    virtual void Stat();
    virtual void List();
    virtual void Retr();
    virtual void Top();
    virtual void Dele();
    virtual void Noop();
    virtual void Last();
    virtual void RSet();
    virtual void Uidl();
    virtual void Abort();

protected:
    virtual void TriggerSessionConnected(std::uint16_t error);
    virtual void TriggerResponse(const std::string& msg);
    virtual void TriggerStateChange();
    virtual void TriggerRequestDone(TPop3Request rq, std::uint16_t error);
    void TriggerDisplay(const std::string& msg);
    // Raises an event if assigned; false when the handler freed us.
    bool Raise(const Notify& event);

private:
    // What a multi-line answer does with each line.
    enum class Lines { None, List, Uidl, Message };

    void SetState(TPop3State s);
    void CheckReady() const;
    void CheckConnected() const;
    // Refuses a call in the wrong protocol state: shown, kept and thrown.
    [[noreturn]] void Refuse(const std::string& text);
    void CheckCredential(const std::string& value, const char* name) const;
    // A transaction command: checks, resets the header capture, sends.
    void Transaction(TPop3Request rq, const std::string& word, const std::string& cmd,
                     std::function<void()> next);
    void SendCommand(TPop3Request rq, const std::string& cmd, TPop3ProtocolState onSuccess,
                     std::function<void()> next);
    void FinishRequest(int error);
    void ReportDone(TPop3Request rq, int error);
    void SetErrorLine(const std::string& line);
    // Fails the request with a line of this side and drops the connection.
    void FailConnection(const std::string& line);

    void SocketDnsLookupDone(std::uint16_t error);
    void SocketSessionConnected(std::uint16_t error);
    void SocketDataAvailable();
    void SocketSessionClosed(std::uint16_t error);
    void HandleLine(const std::string& line);
    void HandleGreeting(const std::string& line);
    void JudgeStatus(const std::string& line);
    void StartLines(Lines kind);
    void HandleDataLine(const std::string& line);

    void AuthLoginUser();
    void AuthCram(bool sha1);
    void RunOpenStep();

    std::unique_ptr<TWSocket> socket_;
    std::unique_ptr<HiddenWindow> window_; // carries the posted OnRequestDone
    std::unique_ptr<QTimer> quitTimer_;    // closes after an accepted QUIT
    std::shared_ptr<char> alive_ = std::make_shared<char>();

    std::string host_, localAddr_ = "0.0.0.0", port_ = "pop3";
    std::string userName_, passWord_;
    TPop3AuthType authType_ = popAuthNone;
    std::string errorMessage_, lastResponse_;
    TPop3ProtocolState protocolState_ = pop3Disconnected;
    int msgCount_ = 0, msgSize_ = 0, msgNum_ = 0, msgLines_ = 0;
    std::string msgUidl_;
    std::int32_t tag_ = 0;
    TPop3HeaderCapture header_;
    int quitCloseMs_ = kPop3QuitCloseMs;

    TPop3State state_ = pop3Ready;
    bool connected_ = false;
    bool lookingUp_ = false;
    TLineReader reader_{kMaxPop3Line};
    std::string timestamp_;                           // the greeting's APOP timestamp
    int statusCode_ = 0;                              // 0 or 500, of the last status line
    TPop3Request requestType_ = pop3Connect;          // reported by the next OnRequestDone
    int requestResult_ = 0;                           // 0, 500 or a socket error
    bool requestDone_ = true;                         // the current request was finished
    TPop3ProtocolState nextState_ = pop3Disconnected; // entered on a "+" answer
    std::function<void()> next_;                      // runs after a "+" answer
    Lines lines_ = Lines::None;                       // a multi-line answer is running
    bool quitAnswered_ = false;                       // QUIT's answer came (first completion point)
    int quitResult_ = 0;                              // and what it said
    int failCode_ = 0;                                // the close ends the request with this

    bool openRunning_ = false; // Open's steps run one after the other
    int openStep_ = 0;         // the next of connect, user, pass
};

// The published client.
class TPop3Cli : public TCustomPop3Cli {};

} // namespace qordex::mail
