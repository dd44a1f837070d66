#pragma once
// The asynchronous SMTP client.  Every operation sends one command or starts
// a planned sequence of them, returns at once, and ends with exactly one
// OnRequestDone, which is always posted and so runs from the message loop:
// its handler may start the next operation at once.
//
// TCustomSmtpClient is the protocol engine (connection, replies, AUTH,
// recipients, the DATA line pump, the standard header lines); TSmtpCli adds
// the MIME layer (text body encodings and file attachments).
//
// Everything that goes on the wire is checked first: a CR, LF or NUL in a
// command argument or header value is refused with SmtpException before
// anything is sent, every message line is dot-stuffed, and a line that
// cannot go out whole (too long, a lone CR or LF) fails the request and
// drops the connection instead of going out cut or unterminated.
//
// Re-entrancy: every event may free the component; the engine checks after
// each one that it still exists before it goes on.

#include "base/LineReader.h"
#include "mail/SmtpHeaders.h"
#include "mail/SmtpText.h"

#include <bitset>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qordex {
class TWSocket;
class TCustomWSocket;
class HiddenWindow;
} // namespace qordex

namespace qordex::mail {

class SmtpException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TSmtpState {
    smtpReady,
    smtpDnsLookup,
    smtpConnecting,
    smtpConnected,
    smtpInternalReady,
    smtpWaitingBanner,
    smtpWaitingResponse,
    smtpAbort,
};
enum TSmtpRequest {
    smtpConnect,
    smtpHelo,
    smtpMailFrom,
    smtpVrfy,
    smtpRcptTo,
    smtpData,
    smtpQuit,
    smtpRset,
    smtpOpen,
    smtpMail,
    smtpEhlo,
    smtpAuth,
    smtpCustom,
};
enum TSmtpAuthType {
    smtpAuthNone,
    smtpAuthPlain,
    smtpAuthLogin,
    smtpAuthCramMD5,
    smtpAuthCramSha1,
    smtpAuthAutoSelect,
};
enum TSmtpRcptToErrorAction { srteAbort, srteRetry, srteIgnore };
// The stream modes have no stream to write to: every mode sends to the socket.
enum TSmtpSendMode { smtpToSocket, smtpToStream, smtpCopyToStream };
enum TSmtpShareMode {
    smtpShareCompat,
    smtpShareExclusive,
    smtpShareDenyWrite,
    smtpShareDenyRead,
    smtpShareDenyNone,
};
enum TSmtpBeforeOpenFileAction {
    smtpBeforeOpenFileNone,
    smtpBeforeOpenFileNext,
    smtpBeforeOpenFileAbort,
};
enum TSmtpAfterOpenFileAction {
    smtpAfterOpenFileNone,
    smtpAfterOpenFileNext,
    smtpAfterOpenFileRetry,
    smtpAfterOpenFileAbort,
};

// Error codes of OnRequestDone besides reply codes and socket errors.
constexpr int kSmtpLocalFailure = 500; // refused or failed on this side (LastResponse says why)
constexpr int kSmtpClosed = 10004;     // the connection closed before the request ended
constexpr int kSmtpAborted = 426;      // Abort during Open or Mail

// How many bytes of message lines are handed to the socket at once: the
// pump produces lines until it has this many, so that a message costs a
// send per batch rather than per line, and memory stays bounded.
constexpr std::size_t kSmtpDataBatch = 16 * 1024;

class TCustomSmtpClient {
public:
    TCustomSmtpClient();
    virtual ~TCustomSmtpClient();
    TCustomSmtpClient(const TCustomSmtpClient&) = delete;
    TCustomSmtpClient& operator=(const TCustomSmtpClient&) = delete;

    // ---- events (Sender first; each handler may free the component) ----
    // Every command sent ("> " + command), message line sent ("> " + line)
    // and reply line shown ("< " + line).
    std::function<void(TCustomSmtpClient* Sender, const std::string& Msg)> OnDisplay;
    // The bare command text, before it is sent.
    std::function<void(TCustomSmtpClient* Sender, const std::string& Msg)> OnCommand;
    // Every complete reply line, before it is judged.
    std::function<void(TCustomSmtpClient* Sender, const std::string& Msg)> OnResponse;
    // A recipient other than the last was refused; Action comes preset to srteAbort.
    std::function<void(TCustomSmtpClient* Sender, std::uint16_t ErrorCode, int RcptNameIdx,
                       TSmtpRcptToErrorAction& Action)>
        OnRcptToError;
    // Once per request, from the message loop.
    std::function<void(TCustomSmtpClient* Sender, TSmtpRequest RqType, std::uint16_t ErrorCode)>
        OnRequestDone;
    // After the 220 greeting (0), or when the name lookup failed.
    std::function<void(TCustomSmtpClient* Sender, std::uint16_t ErrCode)> OnSessionConnected;
    // When the connection closed, or the name lookup failed.
    std::function<void(TCustomSmtpClient* Sender, std::uint16_t ErrCode)> OnSessionClosed;
    // A body line: write it into MsgLine (at most MaxLen - 1 bytes) or set
    // More to false.  LineNum counts from 1.
    std::function<void(TCustomSmtpClient* Sender, int LineNum, std::string& MsgLine, int MaxLen,
                       bool& More)>
        OnGetData;
    // A header line about to be sent; the handler may rewrite it.
    std::function<void(TCustomSmtpClient* Sender, std::string& Msg, int Size)> OnHeaderLine;
    // Once per message, after the standard header lines are built.
    std::function<void(TCustomSmtpClient* Sender, std::vector<std::string>& HdrLines)>
        OnProcessHeader;

    // ---- protocol properties ----
    const std::string& Host() const { return host_; }
    void SetHost(const std::string& v) { host_ = v; }
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& v) { port_ = v; }
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::string& v) { localAddr_ = v; }
    const std::string& SignOn() const { return signOn_; }
    void SetSignOn(const std::string& v) { signOn_ = v; }
    const std::string& Username() const { return username_; }
    void SetUsername(const std::string& v) { username_ = v; }
    const std::string& Password() const { return password_; }
    void SetPassword(const std::string& v) { password_ = v; }
    TSmtpAuthType AuthType() const { return authType_; }
    void SetAuthType(TSmtpAuthType v) { authType_ = v; }
    const std::string& FromName() const { return fromName_; }
    void SetFromName(const std::string& v) { fromName_ = v; }
    const std::vector<std::string>& RcptName() const { return rcptName_; }
    void SetRcptName(const std::vector<std::string>& v) { rcptName_ = v; }
    TSmtpState State() const { return state_; }
    const std::string& LastResponse() const { return lastResponse_; }
    const std::string& ErrorMessage() const { return errorMessage_; }
    TSmtpSendMode SendMode() const { return sendMode_; }
    void SetSendMode(TSmtpSendMode v) { sendMode_ = v; }
    std::int32_t Tag() const { return tag_; }
    void SetTag(std::int32_t v) { tag_ = v; }

    // ---- message properties (the standard header lines) ----
    const std::string& HdrFrom() const { return hdr_.hdrFrom; }
    void SetHdrFrom(const std::string& v) { hdr_.hdrFrom = v; }
    const std::string& HdrTo() const { return hdr_.hdrTo; }
    void SetHdrTo(const std::string& v) { hdr_.hdrTo = v; }
    const std::string& HdrCc() const { return hdr_.hdrCc; }
    void SetHdrCc(const std::string& v) { hdr_.hdrCc = v; }
    const std::string& HdrReplyTo() const { return hdr_.hdrReplyTo; }
    void SetHdrReplyTo(const std::string& v) { hdr_.hdrReplyTo = v; }
    const std::string& HdrReturnPath() const { return hdr_.hdrReturnPath; }
    void SetHdrReturnPath(const std::string& v) { hdr_.hdrReturnPath = v; }
    const std::string& HdrSubject() const { return hdr_.hdrSubject; }
    void SetHdrSubject(const std::string& v) { hdr_.hdrSubject = v; }
    const std::string& HdrSender() const { return hdr_.hdrSender; }
    void SetHdrSender(const std::string& v) { hdr_.hdrSender = v; }
    TSmtpPriority HdrPriority() const { return hdr_.priority; }
    void SetHdrPriority(TSmtpPriority v) { hdr_.priority = v; }
    bool ConfirmReceipt() const { return hdr_.confirmReceipt; }
    void SetConfirmReceipt(bool v) { hdr_.confirmReceipt = v; }
    const std::string& CharSet() const { return hdr_.charSet; }
    void SetCharSet(const std::string& v) { hdr_.charSet = v; }
    TSmtpContentType ContentType() const { return hdr_.contentType; }
    virtual void SetContentType(TSmtpContentType v) { hdr_.contentType = v; }
    TSmtpDefaultEncoding DefaultEncoding() const { return hdr_.defaultEncoding; }
    void SetDefaultEncoding(TSmtpDefaultEncoding v) { hdr_.defaultEncoding = v; }
    bool Allow8bitChars() const { return hdr_.allow8bitChars; }
    void SetAllow8bitChars(bool v) { hdr_.allow8bitChars = v; }
    bool FoldHeaders() const { return hdr_.foldHeaders; }
    void SetFoldHeaders(bool v) { hdr_.foldHeaders = v; }
    bool WrapMessageText() const { return wrapMessageText_; }
    void SetWrapMessageText(bool v) { wrapMessageText_ = v; }
    bool OwnHeaders() const { return ownHeaders_; }
    void SetOwnHeaders(bool v) { ownHeaders_ = v; }

    // ---- what the engine learned ----
    // The owned socket; its SOCKS settings may be assigned before Connect.
    TWSocket& ConnectionSocket() { return *socket_; }
    bool Connected() const { return connected_; }
    // An EHLO succeeded on this connection.
    bool Esmtp() const { return esmtp_; }
    // An AUTH exchange succeeded on this connection.  Open with an AuthType
    // falls back to HELO without AUTH when the server refuses EHLO; a caller
    // that needs the authentication looks here.
    bool Authenticated() const { return authenticated_; }
    // The mechanisms the last EHLO reply offered, upper case.
    const std::vector<std::string>& AuthTypesSupported() const { return authTypes_; }
    // The identifier of the last message's Message-ID header.
    const std::string& MessageId() const { return messageId_; }

    // ---- operations; misuse throws SmtpException ----
    virtual void Connect();
    virtual void Helo();
    virtual void Ehlo();
    virtual void Auth();
    virtual void Vrfy();
    virtual void MailFrom();
    virtual void RcptTo();
    virtual void Data();
    virtual void Quit();
    virtual void Rset();
    virtual void Abort();
    virtual void Open();
    virtual void Mail();

protected:
    virtual void TriggerDisplay(const std::string& msg);
    virtual void TriggerCommand(const std::string& msg);
    virtual void TriggerResponse(const std::string& msg);
    virtual void TriggerRequestDone(TSmtpRequest rq, std::uint16_t error);
    virtual void TriggerStateChange(TSmtpState /*oldState*/, TSmtpState /*newState*/) {}
    virtual void TriggerGetData(int lineNum, std::string& line, int maxLen, bool& more);
    virtual void TriggerHeaderLine(std::string& line, int size);
    virtual void TriggerProcessHeader(std::vector<std::string>& lines);
    virtual void TriggerSessionConnected(std::uint16_t error);
    virtual void TriggerSessionClosed(std::uint16_t error);

    // Refuses before anything is sent a message that could not go out as
    // composed (a CR, LF or NUL in a header value).
    virtual void CheckMessage() const;
    // Closes what a transfer holds open (the MIME layer's attachment).
    virtual void CloseTransfer() {}
    // For handlers that free the component: expires with it.
    std::weak_ptr<char> AliveToken() const { return alive_; }

private:
    enum Step : unsigned {
        stepConnect,
        stepHelo,
        stepEhlo,
        stepAuth,
        stepVrfy,
        stepMailFrom,
        stepRcptTo,
        stepData,
        stepQuit,
        stepCount,
        stepNone = stepCount,
    };
    using Plan = std::bitset<stepCount>;

    void SetState(TSmtpState s);
    void CheckReady() const;
    void CheckConnected() const;
    // Sends one command; `prefix` (message lines) goes out with it in one send.
    void RunCommand(TSmtpRequest rq, const std::string& cmd, std::vector<int> accepted,
                    std::function<void()> next, const std::string& prefix = {});
    void FinishRequest(int error);
    void PostRequestDone(TSmtpRequest rq, int error);
    void SetErrorLine(const std::string& line);

    void SocketDnsLookupDone(std::uint16_t error);
    void SocketSessionConnected(std::uint16_t error);
    void SocketDataAvailable();
    void SocketSessionClosed(std::uint16_t error);
    void HandleReplyLine(const std::string& line);
    void JudgeReply(const std::string& line);
    // Fails the running request with a line of this side and drops the
    // connection, so that a half-sent message is never taken for a whole one.
    void FailConnection(const std::string& line, int code = kSmtpLocalFailure);

    std::string SignOnName() const;
    void StartAuth(TSmtpAuthType type);
    void AuthPlain();
    void AuthLogin();
    void AuthCram(bool sha1);
    void AuthStepDone();
    void RcptToNext();
    void SendNextMessageLine();
    // The next raw lines of the message (a header line may give several);
    // false when the message is complete.
    bool NextMessageLines(std::vector<std::string>& lines);

    void StartHighLevel(TSmtpRequest rq, Plan plan);
    void RunNextStep();
    void RunStep(Step step);

    std::unique_ptr<TWSocket> socket_;
    std::unique_ptr<HiddenWindow> window_; // carries the posted OnRequestDone
    std::shared_ptr<char> alive_ = std::make_shared<char>();

    std::string host_, port_ = "smtp", localAddr_ = "0.0.0.0", signOn_;
    std::string username_, password_, fromName_;
    TSmtpAuthType authType_ = smtpAuthNone;
    std::vector<std::string> rcptName_;
    TSmtpState state_ = smtpReady;
    std::string lastResponse_, errorMessage_;
    TSmtpSendMode sendMode_ = smtpToSocket;
    std::int32_t tag_ = 0;
    TSmtpHeaderFields hdr_;
    bool wrapMessageText_ = false;
    bool ownHeaders_ = false;

    bool connected_ = false;             // the TCP connection is up
    bool esmtp_ = false;                 // an EHLO succeeded
    bool authenticated_ = false;         // an AUTH succeeded
    std::vector<std::string> authTypes_; // from the EHLO reply
    TLineReader reader_{kMaxSmtpReplyLine};
    int statusCode_ = 0;                     // of the last reply line judged
    TSmtpRequest requestType_ = smtpConnect; // reported by the next OnRequestDone
    int requestResult_ = 0;                  // 0, a refusing reply code or a socket error
    bool requestDone_ = true;                // the current request has been finished
    std::vector<int> okResponses_;           // accepted codes of the command out
    std::function<void()> next_;             // runs after a reply was judged
    bool waitingQuit_ = false;               // a QUIT is out: its request ends at the close
    int failCode_ = 0;                       // the close ends the request with this code
    bool lookingUp_ = false;                 // Connect's name lookup is out
    bool pumping_ = false;                   // message lines are going out (DATA was accepted)

    Plan plan_;                // steps still to run
    Step lastStep_ = stepNone; // the step that ran last
    int highLevelResult_ = 0;
    bool highLevel_ = false;         // Open or Mail is running
    bool stepRunner_ = false;        // the end of a request runs the next step
    bool startingHighLevel_ = false; // inside Open or Mail: errors go to the caller

    TSmtpAuthType authRunning_ = smtpAuthNone;
    bool authAuto_ = false;
    int itemCount_ = -1; // recipient index, or header line index during DATA
    int lineNum_ = 0;    // body lines asked for
    bool moreLines_ = false;
    std::vector<std::string> headerLines_;
    std::string messageId_;
    unsigned random_ = 0; // state of the message identifier's generator
};

// The published client with the MIME layer: a MailMessage text body (7bit,
// 8bit, quoted-printable or Base64), then OnGetData lines, then every file
// of EmailFiles as a Base64 part of a multipart/mixed message.
class TSmtpCli : public TCustomSmtpClient {
public:
    TSmtpCli();
    ~TSmtpCli() override;

    // Before each attachment part is described; both values may change.
    std::function<void(TSmtpCli* Sender, int FileNumber, std::string& FileName,
                       std::string& ContentType)>
        OnAttachContentType;
    // After an attachment's part header lines were queued; lines added to
    // HdrLines go out after them.
    std::function<void(TSmtpCli* Sender, int FileNumber, const std::string& FileName,
                       std::vector<std::string>& HdrLines)>
        OnAttachHeader;
    std::function<void(TSmtpCli* Sender, int Idx, const std::string& FileName,
                       TSmtpBeforeOpenFileAction& Action)>
        OnBeforeFileOpen;
    // E is the failure of the open, null when it succeeded.
    std::function<void(TSmtpCli* Sender, int Idx, const std::string& FileName,
                       const std::exception* E, TSmtpAfterOpenFileAction& Action)>
        OnAfterFileOpen;

    const std::vector<std::string>& MailMessage() const { return mailMessage_; }
    void SetMailMessage(const std::vector<std::string>& v) { mailMessage_ = v; }
    const std::vector<std::string>& EmailFiles() const { return emailFiles_; }
    // Takes each entry trimmed, skips empty ones; throws SmtpException "File
    // not found 'NAME'" for a name that is no file (the entries before it
    // stay), and refuses a name holding CR, LF or NUL.
    void SetEmailFiles(const std::vector<std::string>& v);
    // Kept for the record: files are always opened shared for reading.
    TSmtpShareMode ShareMode() const { return shareMode_; }
    void SetShareMode(TSmtpShareMode v) { shareMode_ = v; }

    void Data() override;
    void Abort() override;

protected:
    void TriggerGetData(int lineNum, std::string& line, int maxLen, bool& more) override;
    void TriggerHeaderLine(std::string& line, int size) override;
    virtual void TriggerAttachContentType(int fileNumber, std::string& fileName,
                                          std::string& contentType);
    virtual void TriggerAttachHeader(int fileNumber, const std::string& fileName,
                                     std::vector<std::string>& lines);
    virtual void PrepareMimeParts();
    void CheckMessage() const override;
    void CloseTransfer() override;

private:
    void MoveToNextFile();
    // Starts the next attachment; `line` becomes the empty line before it.
    void StartNextFile(std::string& line, bool& more);
    void AbortFromBody(bool& more);

    std::vector<std::string> mailMessage_, emailFiles_;
    TSmtpShareMode shareMode_ = smtpShareDenyWrite;

    std::vector<std::string> queue_; // MIME lines waiting to go first
    std::size_t queueAt_ = 0;
    std::string boundary_;
    TSmtpDefaultEncoding bodyEncoding_ = smtpEnc7bit;
    std::string text_;          // MailMessage joined by CR LF
    std::size_t textPos_ = 0;   // 1-based; 0 when the text part is done
    bool bodyFlag_ = false;     // text or OnGetData lines still to come
    int bodyLine_ = 0;          // OnGetData calls made
    std::size_t fileIndex_ = 0; // into EmailFiles
    std::unique_ptr<std::istream> file_;
};

} // namespace qordex::mail
