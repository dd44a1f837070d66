#include "mail/SmtpProt.h"

#include "mail/SmtpText.h"
#include "net/WSocket.h"
#include "net/WSocketErrorText.h"
#include "platform/HiddenWindow.h"
#include "platform/SocketErrors.h"

#include <algorithm>
#include <random>

namespace qordex::mail {
namespace {

constexpr unsigned WM_SMTP_REQUEST_DONE = WM_USER + 1;
constexpr int kLineBufferSize = 1024; // what OnHeaderLine is told
constexpr int kGetDataMaxLen = 1023;

std::string ExceptionClass(const std::exception& e) {
    if (dynamic_cast<const ESocketException*>(&e))
        return "ESocketException";
    if (dynamic_cast<const SmtpException*>(&e))
        return "SmtpException";
    return "Exception";
}

std::string WinsockLine(int error) {
    return "500 " + WSocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

void RefuseLineBreak(const std::string& value, const char* what) {
    if (HasLineBreakOrNul(value))
        throw SmtpException(std::string(what) + " holds CR, LF or NUL");
}

} // namespace

// ---- construction ----------------------------------------------------------

TCustomSmtpClient::TCustomSmtpClient()
    : socket_(std::make_unique<TWSocket>()), window_(std::make_unique<HiddenWindow>()),
      random_(std::random_device{}()) {
    window_->SetHandler([this](unsigned msg, WPARAM w, LPARAM l) {
        if (msg == WM_SMTP_REQUEST_DONE)
            TriggerRequestDone(TSmtpRequest(w), std::uint16_t(l));
    });
    socket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { SocketSessionClosed(e); };
    socket_->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) { SocketDnsLookupDone(e); };
    socket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
        SocketSessionConnected(e);
    };
    socket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { SocketDataAvailable(); };
}

TCustomSmtpClient::~TCustomSmtpClient() {
    alive_.reset();
    socket_->OnSessionClosed = nullptr;
    socket_->OnDnsLookupDone = nullptr;
    socket_->OnSessionConnected = nullptr;
    socket_->OnDataAvailable = nullptr;
    socket_->OnDataSent = nullptr;
}

// ---- triggers ----------------------------------------------------------------

void TCustomSmtpClient::TriggerDisplay(const std::string& msg) {
    if (auto h = OnDisplay)
        h(this, msg);
}

void TCustomSmtpClient::TriggerCommand(const std::string& msg) {
    if (auto h = OnCommand)
        h(this, msg);
}

void TCustomSmtpClient::TriggerResponse(const std::string& msg) {
    if (auto h = OnResponse)
        h(this, msg);
}

void TCustomSmtpClient::TriggerRequestDone(TSmtpRequest rq, std::uint16_t error) {
    if (auto h = OnRequestDone)
        h(this, rq, error);
}

void TCustomSmtpClient::TriggerGetData(int lineNum, std::string& line, int maxLen, bool& more) {
    if (auto h = OnGetData)
        h(this, lineNum, line, maxLen, more);
    else
        more = false;
}

void TCustomSmtpClient::TriggerHeaderLine(std::string& line, int size) {
    if (auto h = OnHeaderLine)
        h(this, line, size);
}

void TCustomSmtpClient::TriggerProcessHeader(std::vector<std::string>& lines) {
    if (auto h = OnProcessHeader)
        h(this, lines);
}

void TCustomSmtpClient::TriggerSessionConnected(std::uint16_t error) {
    if (auto h = OnSessionConnected)
        h(this, error);
}

void TCustomSmtpClient::TriggerSessionClosed(std::uint16_t error) {
    if (auto h = OnSessionClosed)
        h(this, error);
}

// ---- request plumbing ---------------------------------------------------------

void TCustomSmtpClient::SetState(TSmtpState s) {
    if (state_ == s)
        return;
    const TSmtpState old = state_;
    state_ = s;
    TriggerStateChange(old, s);
}

void TCustomSmtpClient::CheckReady() const {
    if (state_ != smtpReady && state_ != smtpInternalReady)
        throw SmtpException("SMTP component not ready");
}

void TCustomSmtpClient::CheckConnected() const {
    if (!connected_)
        throw SmtpException("SMTP component not connected");
}

void TCustomSmtpClient::SetErrorLine(const std::string& line) {
    if (errorMessage_.empty())
        errorMessage_ = line;
}

void TCustomSmtpClient::RunCommand(TSmtpRequest rq, const std::string& cmd,
                                   std::vector<int> accepted, std::function<void()> next,
                                   const std::string& prefix) {
    CheckReady();
    CheckConnected();
    RefuseLineBreak(cmd, "SMTP command");
    if (!highLevel_)
        requestType_ = rq;
    okResponses_ = std::move(accepted);
    requestDone_ = false;
    next_ = std::move(next);
    waitingQuit_ = cmd == "QUIT";
    SetState(smtpWaitingResponse);
    const std::weak_ptr<char> alive = alive_;
    TriggerCommand(cmd);
    if (alive.expired())
        return;
    TriggerDisplay("> " + cmd);
    if (alive.expired())
        return;
    if (socket_->State() == wsConnected)
        socket_->SendText(prefix + cmd + "\r\n");
}

void TCustomSmtpClient::FinishRequest(int error) {
    if (requestDone_)
        return;
    requestDone_ = true;
    // A failure that ends the request is its result, also when the last
    // reply judged was a good one (the server closed in between).
    if (error != 0)
        requestResult_ = error;
    if (stepRunner_) {
        if (state_ != smtpAbort)
            SetState(smtpInternalReady);
        RunNextStep();
        return;
    }
    SetState(smtpReady);
    highLevel_ = false;
    PostRequestDone(requestType_, error);
}

void TCustomSmtpClient::PostRequestDone(TSmtpRequest rq, int error) {
    window_->Post(WM_SMTP_REQUEST_DONE, WPARAM(rq), LPARAM(std::uint16_t(error)));
}

void TCustomSmtpClient::FailConnection(const std::string& line, int code) {
    lastResponse_ = line;
    SetErrorLine(line);
    requestResult_ = code;
    failCode_ = code;
    pumping_ = false;
    socket_->OnDataSent = nullptr;
    const std::weak_ptr<char> alive = alive_;
    socket_->Abort(); // its close ends the request with failCode_
    if (alive.expired())
        return;
    // No session was up to close: end the request here.
    if (failCode_ != 0) {
        failCode_ = 0;
        FinishRequest(code);
    }
}

// ---- socket events --------------------------------------------------------------

void TCustomSmtpClient::Connect() {
    CheckReady();
    if (connected_)
        throw SmtpException("SMTP component already connected");
    requestDone_ = false;
    reader_.Reset();
    requestResult_ = 0;
    failCode_ = 0;
    esmtp_ = false;
    authenticated_ = false;
    errorMessage_.clear();
    lastResponse_.clear();
    if (!highLevel_)
        requestType_ = smtpConnect;
    lastStep_ = stepConnect;
    SetState(smtpDnsLookup);
    lookingUp_ = true;
    socket_->OnDataSent = nullptr;
    const std::weak_ptr<char> alive = alive_;
    try {
        socket_->DnsLookup(host_);
    } catch (const ESocketException&) {
        // An empty or unusable name: the lookup fails like any other.
        if (!alive.expired() && lookingUp_)
            SocketDnsLookupDone(
                std::uint16_t(socket_->LastError() ? socket_->LastError() : WSAEINVAL));
    }
}

void TCustomSmtpClient::SocketDnsLookupDone(std::uint16_t error) {
    // Abort cancels a lookup: it ends the request like a failed one.
    if (!lookingUp_)
        return;
    lookingUp_ = false;
    const std::weak_ptr<char> alive = alive_;
    if (error != 0) {
        lastResponse_ = WinsockLine(error);
        statusCode_ = 500;
        SetErrorLine(lastResponse_);
        requestResult_ = error;
        TriggerSessionConnected(error);
        if (alive.expired())
            return;
        TriggerSessionClosed(error);
        if (alive.expired())
            return;
        FinishRequest(error);
        return;
    }
    try {
        socket_->SetAddr(socket_->DnsResult());
        socket_->SetLocalAddr(localAddr_);
        socket_->SetProto("tcp");
        socket_->SetPort(port_);
        // Commands and message batches go out at once: waiting for the
        // peer's delayed acknowledgement would stall every message.
        socket_->SetComponentOptions(socket_->ComponentOptions() | wsoTcpNoDelay);
        SetState(smtpConnecting);
        socket_->Connect();
    } catch (const std::exception& e) {
        if (alive.expired())
            return;
        lastResponse_ = "500 " + ExceptionClass(e) + ": " + e.what();
        statusCode_ = 500;
        requestResult_ = 500;
        SetErrorLine(lastResponse_);
        FinishRequest(socket_->LastError() ? socket_->LastError() : 500);
    }
}

void TCustomSmtpClient::SocketSessionConnected(std::uint16_t error) {
    if (state_ != smtpConnecting)
        return;
    if (error != 0) {
        lastResponse_ = WinsockLine(error);
        statusCode_ = 500;
        connected_ = false;
        requestResult_ = 500;
        SetErrorLine(lastResponse_);
        const std::weak_ptr<char> alive = alive_;
        FinishRequest(error);
        if (alive.expired())
            return;
        socket_->Close();
        if (alive.expired())
            return;
        if (state_ == smtpConnecting)
            SetState(smtpReady);
        return;
    }
    connected_ = true;
    reader_.Reset();
    SetState(smtpWaitingBanner);
}

void TCustomSmtpClient::SocketDataAvailable() {
    char buf[4096];
    const int n = socket_->Receive(buf, sizeof buf);
    if (n <= 0)
        return; // an error or the end arrives as the close
    reader_.Append(std::string_view(buf, std::size_t(n)));
    const std::weak_ptr<char> alive = alive_;
    std::string line;
    for (;;) {
        const TLineReader::Result r = reader_.Next(line);
        if (r == TLineReader::Result::NeedMore)
            return;
        if (r == TLineReader::Result::TooLong) {
            reader_.Reset();
            FailConnection("500 Reply line longer than " + std::to_string(kMaxSmtpReplyLine) +
                           " bytes");
            return;
        }
        HandleReplyLine(line);
        // A handler may have freed us, dropped the connection or started anew.
        if (alive.expired() || !connected_)
            return;
    }
}

void TCustomSmtpClient::HandleReplyLine(const std::string& line) {
    const std::weak_ptr<char> alive = alive_;
    lastResponse_ = line;
    TriggerResponse(line);
    if (alive.expired())
        return;
    if (lastStep_ == stepEhlo)
        AddAuthMechanisms(line, authTypes_);
    switch (state_) {
    case smtpWaitingBanner: {
        TriggerDisplay("< " + line);
        if (alive.expired())
            return;
        bool continuation = false;
        statusCode_ = SmtpReplyStatus(line, continuation);
        if (continuation)
            return;
        if (statusCode_ != 220) {
            // A refusing greeting ends the request through the close.
            SetErrorLine(line);
            requestResult_ = statusCode_;
            socket_->Close();
            return;
        }
        SetState(smtpConnected);
        TriggerSessionConnected(0);
        if (alive.expired())
            return;
        FinishRequest(0);
        return;
    }
    case smtpWaitingResponse:
        JudgeReply(line);
        return;
    default:
        TriggerDisplay("< " + line);
        return;
    }
}

void TCustomSmtpClient::JudgeReply(const std::string& line) {
    const std::weak_ptr<char> alive = alive_;
    TriggerDisplay("< " + line);
    if (alive.expired() || state_ != smtpWaitingResponse)
        return;
    bool continuation = false;
    statusCode_ = SmtpReplyStatus(line, continuation);
    if (continuation)
        return;
    if (pumping_) {
        // The server spoke in the middle of the message (it gives up, say):
        // the rest of the message must not go out, nor the final dot.
        const int code = statusCode_ > 0 && statusCode_ <= 0xFFFF ? statusCode_ : kSmtpNoStatus;
        FailConnection(line, code);
        return;
    }
    if (std::find(okResponses_.begin(), okResponses_.end(), statusCode_) != okResponses_.end()) {
        requestResult_ = 0;
    } else {
        // A refusal must never read as 0 (success) in the 16-bit error code.
        requestResult_ = statusCode_ > 0 && statusCode_ <= 0xFFFF ? statusCode_ : kSmtpNoStatus;
        SetErrorLine(line);
    }
    if (next_) {
        const std::function<void()> next = std::move(next_);
        next_ = nullptr;
        next();
        return;
    }
    // An accepted QUIT ends when the server closes the connection.
    if (waitingQuit_ && connected_ && requestResult_ == 0)
        return;
    FinishRequest(requestResult_);
}

void TCustomSmtpClient::SocketSessionClosed(std::uint16_t error) {
    connected_ = false;
    pumping_ = false;
    reader_.Reset();
    socket_->OnDataSent = nullptr;
    const std::weak_ptr<char> alive = alive_;
    TriggerSessionClosed(error);
    if (alive.expired())
        return;
    int code = lastStep_ == stepQuit && waitingQuit_ ? 0 : kSmtpClosed;
    if (failCode_ != 0) {
        code = failCode_;
        failCode_ = 0;
    }
    FinishRequest(code);
}

// ---- single commands ----------------------------------------------------------

std::string TCustomSmtpClient::SignOnName() const {
    std::string name = signOn_.empty() ? GetLocalHostName() : signOn_;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

void TCustomSmtpClient::Helo() {
    CheckReady();
    CheckConnected();
    RefuseLineBreak(signOn_, "SignOn");
    lastStep_ = stepHelo;
    RunCommand(smtpHelo, "HELO " + SignOnName(), {250}, nullptr);
}

void TCustomSmtpClient::Ehlo() {
    CheckReady();
    CheckConnected();
    RefuseLineBreak(signOn_, "SignOn");
    lastStep_ = stepEhlo;
    authTypes_.clear();
    RunCommand(smtpEhlo, "EHLO " + SignOnName(), {250}, [this] {
        if (requestResult_ == 0)
            esmtp_ = true;
        FinishRequest(requestResult_);
    });
}

void TCustomSmtpClient::Vrfy() {
    CheckReady();
    CheckConnected();
    lastStep_ = stepVrfy;
    RunCommand(smtpVrfy, "VRFY " + hdr_.hdrTo, {250}, nullptr);
}

void TCustomSmtpClient::MailFrom() {
    CheckReady();
    CheckConnected();
    RefuseLineBreak(fromName_, "FromName");
    lastStep_ = stepMailFrom;
    RunCommand(smtpMailFrom, "MAIL FROM:<" + AddressPart(fromName_) + ">", {250}, nullptr);
}

void TCustomSmtpClient::Rset() {
    CheckReady();
    CheckConnected();
    RunCommand(smtpRset, "RSET", {250}, nullptr);
}

void TCustomSmtpClient::Quit() {
    CheckReady();
    lastStep_ = stepQuit;
    if (connected_) {
        RunCommand(smtpQuit, "QUIT", {221}, nullptr);
        return;
    }
    if (!highLevel_)
        requestType_ = smtpQuit;
    requestDone_ = false;
    waitingQuit_ = false;
    FinishRequest(0);
}

void TCustomSmtpClient::Abort() {
    CloseTransfer();
    SetState(smtpAbort);
    socket_->OnDataSent = nullptr;
    const std::weak_ptr<char> alive = alive_;
    socket_->Abort();
    if (alive.expired())
        return;
    SetState(smtpReady);
}

// ---- AUTH ------------------------------------------------------------------------

void TCustomSmtpClient::Auth() {
    CheckReady();
    CheckConnected();
    RefuseLineBreak(username_, "Username");
    RefuseLineBreak(password_, "Password");
    if (!esmtp_) {
        lastResponse_ = "500 ESMTP not supported.";
        SetErrorLine(lastResponse_);
        if (!highLevel_)
            requestType_ = smtpAuth;
        requestDone_ = false;
        FinishRequest(500);
        return;
    }
    lastStep_ = stepAuth;
    TSmtpAuthType type = authType_;
    authAuto_ = type == smtpAuthAutoSelect;
    if (authAuto_) {
        auto offered = [this](const char* m) {
            return std::find(authTypes_.begin(), authTypes_.end(), m) != authTypes_.end();
        };
        type = offered("CRAM-SHA1")  ? smtpAuthCramSha1
               : offered("CRAM-MD5") ? smtpAuthCramMD5
               : offered("LOGIN")    ? smtpAuthLogin
               : offered("PLAIN")    ? smtpAuthPlain
                                     : smtpAuthCramMD5;
    }
    StartAuth(type);
}

void TCustomSmtpClient::StartAuth(TSmtpAuthType type) {
    authRunning_ = type;
    switch (type) {
    case smtpAuthPlain:
        AuthPlain();
        return;
    case smtpAuthLogin:
        AuthLogin();
        return;
    case smtpAuthCramMD5:
        AuthCram(false);
        return;
    case smtpAuthCramSha1:
        AuthCram(true);
        return;
    case smtpAuthNone:
    case smtpAuthAutoSelect:
        break;
    }
    lastResponse_ = "500 No Authentication Type Selected.";
    SetErrorLine(lastResponse_);
    if (!highLevel_) {
        requestType_ = smtpAuth;
        stepRunner_ = false;
    }
    requestDone_ = false;
    FinishRequest(500);
}

void TCustomSmtpClient::AuthStepDone() {
    if (requestResult_ == 0)
        authenticated_ = true;
    FinishRequest(requestResult_);
}

void TCustomSmtpClient::AuthPlain() {
    RunCommand(smtpAuth, "AUTH PLAIN " + AuthPlainToken(username_, password_), {235}, [this] {
        if (authAuto_ && requestResult_ != 0 && requestResult_ != 504)
            errorMessage_ = "500 Authentication Type could not be determined.";
        AuthStepDone();
    });
}

void TCustomSmtpClient::AuthLogin() {
    RunCommand(smtpAuth, "AUTH LOGIN", {334}, [this] {
        if (requestResult_ != 0) {
            if (authAuto_ && requestResult_ == 504) {
                state_ = smtpInternalReady;
                AuthPlain();
                return;
            }
            if (authAuto_)
                errorMessage_ = "500 Authentication Type could not be determined.";
            FinishRequest(requestResult_);
            return;
        }
        state_ = smtpInternalReady;
        RunCommand(smtpAuth, EncodeBase64(username_), {334}, [this] {
            if (requestResult_ != 0) {
                FinishRequest(requestResult_);
                return;
            }
            state_ = smtpInternalReady;
            RunCommand(smtpAuth, EncodeBase64(password_), {235}, [this] { AuthStepDone(); });
        });
    });
}

void TCustomSmtpClient::AuthCram(bool sha1) {
    RunCommand(smtpAuth, sha1 ? "AUTH CRAM-SHA1" : "AUTH CRAM-MD5", {334}, [this, sha1] {
        if (requestResult_ != 0) {
            if (!sha1 && authAuto_ && requestResult_ == 504) {
                state_ = smtpInternalReady;
                AuthLogin();
                return;
            }
            if (!sha1 && authAuto_)
                errorMessage_ = "500 Authentication Type could not be determined.";
            FinishRequest(requestResult_);
            return;
        }
        if (lastResponse_.size() <= 4) {
            lastResponse_ = std::string(sha1 ? "500 Malformed SHA1 Challege: "
                                             : "500 Malformed MD5 Challege: ") +
                            lastResponse_;
            SetErrorLine(lastResponse_);
            FinishRequest(500);
            return;
        }
        state_ = smtpInternalReady;
        RunCommand(smtpAuth, CramResponse(username_, password_, lastResponse_, sha1), {235},
                   [this] { AuthStepDone(); });
    });
}

// ---- RCPT TO ----------------------------------------------------------------------

void TCustomSmtpClient::RcptTo() {
    CheckReady();
    CheckConnected();
    if (rcptName_.empty())
        throw SmtpException("RcptName list is empty");
    for (const std::string& r : rcptName_)
        RefuseLineBreak(r, "RcptName");
    lastStep_ = stepRcptTo;
    itemCount_ = -1;
    RcptToNext();
}

void TCustomSmtpClient::RcptToNext() {
    if (itemCount_ >= 0 && requestResult_ != 0) {
        TSmtpRcptToErrorAction action = srteAbort;
        const std::weak_ptr<char> alive = alive_;
        if (auto h = OnRcptToError)
            h(this, std::uint16_t(requestResult_), itemCount_, action);
        if (alive.expired() || !connected_)
            return;
        if (action == srteAbort) {
            FinishRequest(requestResult_);
            return;
        }
        if (action == srteIgnore)
            ++itemCount_;
    } else {
        ++itemCount_;
    }
    std::function<void()> next;
    if (itemCount_ < int(rcptName_.size()) - 1)
        next = [this] {
            state_ = smtpInternalReady;
            RcptToNext();
        };
    RunCommand(smtpRcptTo, "RCPT TO:<" + AddressPart(rcptName_[std::size_t(itemCount_)]) + ">",
               {250, 251}, std::move(next));
}

// ---- DATA -----------------------------------------------------------------------------

void TCustomSmtpClient::CheckMessage() const {
    const std::pair<const std::string*, const char*> fields[] = {
        {&hdr_.hdrFrom, "HdrFrom"},
        {&hdr_.hdrTo, "HdrTo"},
        {&hdr_.hdrCc, "HdrCc"},
        {&hdr_.hdrReplyTo, "HdrReplyTo"},
        {&hdr_.hdrReturnPath, "HdrReturnPath"},
        {&hdr_.hdrSubject, "HdrSubject"},
        {&hdr_.hdrSender, "HdrSender"},
        {&hdr_.charSet, "CharSet"},
    };
    for (const auto& [value, name] : fields)
        RefuseLineBreak(*value, name);
}

void TCustomSmtpClient::Data() {
    CheckReady();
    CheckConnected();
    CheckMessage();
    lineNum_ = 0;
    moreLines_ = true;
    itemCount_ = -1;
    headerLines_.clear();
    if (!ownHeaders_) {
        const TMailTime now = MailTimeNow();
        std::array<int, 4> randoms{};
        for (int& r : randoms) {
            random_ = random_ * 1103515245u + 12345u;
            r = int((random_ >> 16) % 32767u);
        }
        messageId_ = MessageIdText(now, randoms, GetLocalHostName());
        headerLines_ = BuildHeaderLines(hdr_, MailDate(now), messageId_);
        const std::weak_ptr<char> alive = alive_;
        TriggerProcessHeader(headerLines_);
        if (alive.expired())
            return;
        headerLines_.emplace_back();
    }
    lastStep_ = stepData;
    RunCommand(smtpData, "DATA", {354}, [this] { SendNextMessageLine(); });
}

bool TCustomSmtpClient::NextMessageLines(std::vector<std::string>& lines) {
    lines.clear();
    ++itemCount_;
    if (itemCount_ < int(headerLines_.size())) {
        std::string line = headerLines_[std::size_t(itemCount_)];
        TriggerHeaderLine(line, kLineBufferSize);
        // A folded header (CR LF inside) goes out as lines of its own.
        lines = SplitAtCrLf(line);
        return true;
    }
    itemCount_ = int(headerLines_.size());
    if (!moreLines_)
        return false;
    ++lineNum_;
    std::string line;
    TriggerGetData(lineNum_, line, kGetDataMaxLen, moreLines_);
    if (!moreLines_)
        return false;
    lines.push_back(std::move(line));
    return true;
}

void TCustomSmtpClient::SendNextMessageLine() {
    if (requestResult_ != 0) { // DATA was refused: nothing is sent
        FinishRequest(requestResult_);
        return;
    }
    if (!connected_ || requestDone_) {
        socket_->OnDataSent = nullptr;
        return;
    }
    pumping_ = true;
    const std::weak_ptr<char> alive = alive_;
    std::string batch;
    std::vector<std::string> lines;
    while (batch.size() < kSmtpDataBatch) {
        bool more = false;
        try {
            more = NextMessageLines(lines);
        } catch (const std::exception& e) {
            // A message that cannot be produced whole is not sent at all.
            if (alive.expired())
                return;
            if (connected_)
                FailConnection("500 " + ExceptionClass(e) + ": " + e.what());
            return;
        }
        if (alive.expired() || !connected_)
            return; // a handler aborted: the close reported
        if (!more) {
            socket_->OnDataSent = nullptr;
            pumping_ = false;
            state_ = smtpInternalReady;
            RunCommand(smtpData, ".", {250}, nullptr, batch);
            return;
        }
        for (const std::string& raw : lines) {
            std::string line = StuffDot(raw);
            if (const TSmtpLineFault fault = CheckMessageLine(line);
                fault != TSmtpLineFault::None) {
                FailConnection("500 " + MessageLineFaultText(fault));
                return;
            }
            TriggerDisplay("> " + line);
            if (alive.expired() || !connected_)
                return;
            batch += line;
            batch += "\r\n";
        }
    }
    // The state stays smtpWaitingResponse while the message goes out, so
    // that a reply in the middle of it is judged (and ends it).
    socket_->OnDataSent = [this](TCustomWSocket*, std::uint16_t) { SendNextMessageLine(); };
    socket_->SendText(batch);
}

// ---- Open and Mail --------------------------------------------------------------------

void TCustomSmtpClient::Open() {
    if (connected_)
        throw SmtpException("SMTP component already connected");
    CheckReady();
    RefuseLineBreak(signOn_, "SignOn");
    Plan plan;
    plan.set(stepConnect);
    if (authType_ == smtpAuthNone) {
        plan.set(stepHelo);
    } else {
        RefuseLineBreak(username_, "Username");
        RefuseLineBreak(password_, "Password");
        plan.set(stepEhlo).set(stepAuth);
    }
    StartHighLevel(smtpOpen, plan);
}

void TCustomSmtpClient::Mail() {
    CheckReady();
    CheckConnected();
    // Everything is checked now: later steps run from the message loop,
    // where a refusal could no longer reach the caller.
    RefuseLineBreak(fromName_, "FromName");
    if (rcptName_.empty())
        throw SmtpException("RcptName list is empty");
    for (const std::string& r : rcptName_)
        RefuseLineBreak(r, "RcptName");
    CheckMessage();
    StartHighLevel(smtpMail, Plan().set(stepMailFrom).set(stepRcptTo).set(stepData));
}

void TCustomSmtpClient::StartHighLevel(TSmtpRequest rq, Plan plan) {
    requestType_ = rq;
    requestResult_ = 0;
    highLevelResult_ = 0;
    lastResponse_.clear();
    errorMessage_.clear();
    plan_ = plan;
    highLevel_ = true;
    lastStep_ = stepNone;
    startingHighLevel_ = true;
    const std::weak_ptr<char> alive = alive_;
    try {
        RunNextStep();
    } catch (...) {
        if (!alive.expired()) {
            startingHighLevel_ = false;
            stepRunner_ = false;
            highLevel_ = false;
            plan_.reset();
            SetState(smtpReady);
        }
        throw;
    }
    if (!alive.expired())
        startingHighLevel_ = false;
}

void TCustomSmtpClient::RunNextStep() {
    for (;;) {
        const bool aborted = state_ == smtpAbort;
        if (aborted) {
            plan_.reset();
            highLevelResult_ = requestResult_ = kSmtpAborted;
            errorMessage_ = "426 Operation aborted.";
        }
        stepRunner_ = true;
        if (requestResult_ != 0 && !aborted) {
            if (lastStep_ == stepEhlo) {
                // The server gets a HELO instead, and no authentication.
                plan_.reset();
                plan_.set(stepHelo);
            } else {
                highLevelResult_ = requestResult_;
                const bool keepQuit = plan_.test(stepQuit) && lastStep_ != stepQuit;
                plan_.reset();
                if (keepQuit)
                    plan_.set(stepQuit);
            }
        }
        Step step = stepNone;
        for (unsigned s = 0; s < stepCount; ++s)
            if (plan_.test(s)) {
                step = Step(s);
                break;
            }
        if (step == stepNone) {
            stepRunner_ = false;
            requestDone_ = false;
            FinishRequest(highLevelResult_);
            return;
        }
        plan_.reset(step);
        const std::weak_ptr<char> alive = alive_;
        try {
            RunStep(step);
            return;
        } catch (const std::exception& e) {
            if (startingHighLevel_ || alive.expired())
                throw;
            // From the message loop: the step fails like a refused command.
            lastStep_ = step;
            lastResponse_ = "500 " + ExceptionClass(e) + ": " + e.what();
            SetErrorLine(lastResponse_);
            requestResult_ = kSmtpLocalFailure;
            requestDone_ = true;
            if (state_ != smtpAbort)
                SetState(smtpInternalReady);
        }
    }
}

void TCustomSmtpClient::RunStep(Step step) {
    switch (step) {
    case stepConnect:
        Connect();
        return;
    case stepHelo:
        Helo();
        return;
    case stepEhlo:
        Ehlo();
        return;
    case stepAuth:
        Auth();
        return;
    case stepVrfy:
        Vrfy();
        return;
    case stepMailFrom:
        MailFrom();
        return;
    case stepRcptTo:
        RcptTo();
        return;
    case stepData:
        Data();
        return;
    case stepQuit:
        Quit();
        return;
    case stepCount:
        break;
    }
}

} // namespace qordex::mail
