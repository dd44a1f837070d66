#include "mail/Pop3Prot.h"

#include "base/Text.h"
#include "mail/MimeUtil.h"
#include "net/WSocket.h"
#include "net/WSocketErrorText.h"
#include "platform/HiddenWindow.h"
#include "platform/SocketErrors.h"

#include <QTimer>

namespace qordex::mail {
namespace {

constexpr unsigned WM_POP3_REQUEST_DONE = WM_USER + 1;

// What one read of the socket takes at most.
constexpr int kReceiveChunk = 64 * 1024;

std::string ExceptionClass(const std::exception& e) {
    if (dynamic_cast<const ESocketException*>(&e))
        return "ESocketException";
    if (dynamic_cast<const Pop3Exception*>(&e))
        return "Pop3Exception";
    return "Exception";
}

std::string WinsockLine(int error) {
    return "-ERR " + WSocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

} // namespace

// ---- construction ----------------------------------------------------------

TCustomPop3Cli::TCustomPop3Cli()
    : socket_(std::make_unique<TWSocket>()), window_(std::make_unique<HiddenWindow>()),
      quitTimer_(std::make_unique<QTimer>()) {
    window_->SetHandler([this](unsigned msg, WPARAM w, LPARAM l) {
        if (msg == WM_POP3_REQUEST_DONE)
            TriggerRequestDone(TPop3Request(w), std::uint16_t(l));
    });
    quitTimer_->setSingleShot(true);
    QObject::connect(quitTimer_.get(), &QTimer::timeout, quitTimer_.get(), [this] {
        // The server answered QUIT but keeps the connection: its close ends QUIT.
        if (connected_)
            socket_->Close();
    });
    socket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { SocketSessionClosed(e); };
    socket_->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) { SocketDnsLookupDone(e); };
    socket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
        SocketSessionConnected(e);
    };
    socket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { SocketDataAvailable(); };
}

TCustomPop3Cli::~TCustomPop3Cli() {
    alive_.reset();
    quitTimer_->stop();
    socket_->OnSessionClosed = nullptr;
    socket_->OnDnsLookupDone = nullptr;
    socket_->OnSessionConnected = nullptr;
    socket_->OnDataAvailable = nullptr;
}

// ---- triggers ------------------------------------------------------------------

void TCustomPop3Cli::TriggerDisplay(const std::string& msg) {
    if (auto h = OnDisplay)
        h(this, msg);
}

void TCustomPop3Cli::TriggerResponse(const std::string& msg) {
    if (auto h = OnResponse)
        h(this, msg);
}

void TCustomPop3Cli::TriggerSessionConnected(std::uint16_t error) {
    if (auto h = OnSessionConnected)
        h(this, error);
}

void TCustomPop3Cli::TriggerStateChange() {
    if (auto h = OnStateChange)
        h(this);
}

void TCustomPop3Cli::TriggerRequestDone(TPop3Request rq, std::uint16_t error) {
    if (auto h = OnRequestDone)
        h(this, rq, error);
}

bool TCustomPop3Cli::Raise(const Notify& event) {
    if (!event)
        return true;
    // A copy: the handler may replace the event (GetAll swaps handlers).
    const Notify h = event;
    const std::weak_ptr<char> alive = alive_;
    h(this);
    return !alive.expired();
}

// ---- request plumbing ------------------------------------------------------------

void TCustomPop3Cli::SetState(TPop3State s) {
    if (state_ == s)
        return;
    state_ = s;
    TriggerStateChange();
}

void TCustomPop3Cli::CheckReady() const {
    if (state_ != pop3Ready && state_ != pop3InternalReady)
        throw Pop3Exception("POP3 component not ready");
}

void TCustomPop3Cli::CheckConnected() const {
    if (!connected_)
        throw Pop3Exception("POP3 component not connected");
}

void TCustomPop3Cli::Refuse(const std::string& text) {
    errorMessage_ = text;
    TriggerDisplay(text);
    throw Pop3Exception(text);
}

void TCustomPop3Cli::CheckCredential(const std::string& value, const char* name) const {
    if (HasPop3LineBreak(value))
        throw Pop3Exception(std::string(name) + " holds CR, LF or NUL");
}

void TCustomPop3Cli::SetErrorLine(const std::string& line) {
    if (errorMessage_.empty())
        errorMessage_ = line;
}

void TCustomPop3Cli::SendCommand(TPop3Request rq, const std::string& cmd,
                                 TPop3ProtocolState onSuccess, std::function<void()> next) {
    if (!openRunning_)
        requestType_ = rq;
    requestDone_ = false;
    requestResult_ = 0;
    nextState_ = onSuccess;
    next_ = std::move(next);
    lines_ = Lines::None;
    SetState(pop3WaitingResponse);
    const std::weak_ptr<char> alive = alive_;
    TriggerDisplay("> " + cmd);
    if (alive.expired() || !connected_)
        return;
    if (socket_->State() == wsConnected)
        socket_->SendText(cmd + "\r\n");
}

void TCustomPop3Cli::Transaction(TPop3Request rq, const std::string& word, const std::string& cmd,
                                 std::function<void()> next) {
    CheckReady();
    CheckConnected();
    if (protocolState_ != pop3Transaction)
        Refuse("-ERR " + word + " command invalid now");
    errorMessage_.clear();
    header_.Reset();
    SendCommand(rq, cmd, pop3Transaction, std::move(next));
}

void TCustomPop3Cli::FinishRequest(int error) {
    if (requestDone_)
        return;
    if (requestType_ == pop3Quit && !openRunning_) {
        // QUIT ends when both its answer and the close have happened.
        if (connected_ && !quitAnswered_) {
            quitAnswered_ = true;
            quitResult_ = error;
            quitTimer_->start(quitCloseMs_);
            return;
        }
        quitTimer_->stop();
        // The close is what QUIT asked for: the answer tells how it went.
        if (quitAnswered_)
            error = quitResult_;
    }
    requestDone_ = true;
    if (error != 0)
        requestResult_ = error;
    if (openRunning_) {
        const bool aborted = state_ == pop3Abort;
        if (aborted || error != 0 || openStep_ > 2) {
            openRunning_ = false;
            if (aborted) {
                error = kPop3Aborted;
                errorMessage_ = "426 Operation aborted.";
            } else {
                SetState(pop3Ready);
            }
            ReportDone(pop3Open, error);
            return;
        }
        SetState(pop3InternalReady);
        RunOpenStep();
        return;
    }
    if (state_ != pop3Abort)
        SetState(pop3Ready);
    ReportDone(requestType_, error);
}

void TCustomPop3Cli::ReportDone(TPop3Request rq, int error) {
    window_->Post(WM_POP3_REQUEST_DONE, WPARAM(rq), LPARAM(std::uint16_t(error)));
}

void TCustomPop3Cli::FailConnection(const std::string& line) {
    lastResponse_ = line;
    SetErrorLine(line);
    requestResult_ = kPop3Failure;
    failCode_ = kPop3Failure;
    lines_ = Lines::None;
    const std::weak_ptr<char> alive = alive_;
    TriggerDisplay(line);
    if (alive.expired())
        return;
    socket_->Abort(); // its close ends the request with failCode_
    if (alive.expired())
        return;
    if (failCode_ != 0) {
        failCode_ = 0;
        connected_ = false;
        FinishRequest(kPop3Failure);
    }
}

// ---- connection --------------------------------------------------------------------

void TCustomPop3Cli::Connect() {
    CheckReady();
    if (connected_)
        throw Pop3Exception("POP3 component already connected");
    if (!openRunning_)
        requestType_ = pop3Connect;
    requestDone_ = false;
    reader_.Reset();
    reader_.SetAcceptLF(true);
    requestResult_ = 0;
    timestamp_.clear();
    errorMessage_.clear();
    lastResponse_.clear();
    failCode_ = 0;
    quitAnswered_ = false;
    lines_ = Lines::None;
    next_ = nullptr;
    SetState(pop3DnsLookup);
    lookingUp_ = true;
    const std::weak_ptr<char> alive = alive_;
    try {
        socket_->DnsLookup(host_);
    } catch (...) {
        if (!alive.expired()) {
            lookingUp_ = false;
            requestDone_ = true;
            openRunning_ = false;
            socket_->Abort();
            if (!alive.expired())
                SetState(pop3Ready);
        }
        throw;
    }
}

void TCustomPop3Cli::SocketDnsLookupDone(std::uint16_t error) {
    // Abort cancels a lookup; its late result means nothing.
    if (!lookingUp_)
        return;
    lookingUp_ = false;
    if (error != 0) {
        lastResponse_ = WinsockLine(error);
        statusCode_ = kPop3Failure;
        requestResult_ = error;
        SetErrorLine(lastResponse_);
        FinishRequest(error);
        return;
    }
    const std::weak_ptr<char> alive = alive_;
    try {
        socket_->SetAddr(socket_->DnsResult());
        socket_->SetProto("tcp");
        socket_->SetPort(port_);
        socket_->SetLocalAddr(localAddr_);
        socket_->SetComponentOptions(socket_->ComponentOptions() | wsoTcpNoDelay);
        SetState(pop3Connecting);
        socket_->Connect();
    } catch (const std::exception& e) {
        if (alive.expired())
            return;
        lastResponse_ = "-ERR " + ExceptionClass(e) + ": " + e.what();
        statusCode_ = kPop3Failure;
        requestResult_ = kPop3Failure;
        SetErrorLine(lastResponse_);
        FinishRequest(kPop3Failure);
    }
}

void TCustomPop3Cli::SocketSessionConnected(std::uint16_t error) {
    if (state_ != pop3Connecting)
        return;
    if (error != 0) {
        lastResponse_ = WinsockLine(error);
        statusCode_ = kPop3Failure;
        connected_ = false;
        requestResult_ = error;
        SetErrorLine(lastResponse_);
        const std::weak_ptr<char> alive = alive_;
        FinishRequest(error);
        if (alive.expired())
            return;
        socket_->Close();
        if (alive.expired())
            return;
        if (state_ == pop3Connecting)
            SetState(pop3Ready);
        return;
    }
    connected_ = true;
    reader_.Reset();
    SetState(pop3WaitingBanner);
}

void TCustomPop3Cli::SocketDataAvailable() {
    char buf[kReceiveChunk];
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
            FailConnection("-ERR Line longer than " + std::to_string(kMaxPop3Line) + " bytes");
            return;
        }
        HandleLine(line);
        // A handler may have freed us, dropped the connection or started anew.
        if (alive.expired() || !connected_)
            return;
    }
}

void TCustomPop3Cli::SocketSessionClosed(std::uint16_t error) {
    connected_ = false;
    reader_.Reset();
    quitTimer_->stop();
    const bool cutAnswer = lines_ != Lines::None && !requestDone_;
    lines_ = Lines::None;
    protocolState_ = pop3Disconnected;
    const std::weak_ptr<char> alive = alive_;
    if (auto h = OnSessionClosed)
        h(this, error);
    if (alive.expired())
        return;
    if (failCode_ != 0) {
        const int code = failCode_;
        failCode_ = 0;
        FinishRequest(code);
        return;
    }
    if (cutAnswer) {
        // A multi-line answer without its final "." is no answer.
        SetErrorLine("-ERR Disconneced unexpectedly");
        requestResult_ = kPop3Failure;
        TriggerDisplay("-ERR Disconneced unexpectedly");
        if (alive.expired())
            return;
        FinishRequest(kPop3Failure);
        return;
    }
    FinishRequest(kPop3Closed);
}

// ---- lines from the server -----------------------------------------------------------

void TCustomPop3Cli::HandleLine(const std::string& line) {
    lastResponse_ = line;
    const std::weak_ptr<char> alive = alive_;
    TriggerResponse(line);
    if (alive.expired())
        return;
    switch (state_) {
    case pop3WaitingBanner:
        HandleGreeting(line);
        return;
    case pop3WaitingResponse:
        if (lines_ != Lines::None)
            HandleDataLine(line);
        else
            JudgeStatus(line);
        return;
    default:
        TriggerDisplay("< " + line);
        return;
    }
}

void TCustomPop3Cli::HandleGreeting(const std::string& line) {
    const std::weak_ptr<char> alive = alive_;
    TriggerDisplay("< " + line);
    if (alive.expired() || state_ != pop3WaitingBanner)
        return;
    if (line.empty() || line[0] != '+') {
        // A refusing greeting ends the request through the close.
        statusCode_ = kPop3Failure;
        requestResult_ = kPop3Failure;
        SetErrorLine(line);
        socket_->Close();
        return;
    }
    statusCode_ = 0;
    timestamp_ = ApopTimestamp(line);
    protocolState_ = pop3WaitingUser;
    SetState(pop3Connected);
    if (alive.expired())
        return;
    TriggerSessionConnected(0);
    if (alive.expired())
        return;
    FinishRequest(0);
}

void TCustomPop3Cli::JudgeStatus(const std::string& line) {
    const std::weak_ptr<char> alive = alive_;
    TriggerDisplay("< " + line);
    if (alive.expired() || state_ != pop3WaitingResponse)
        return;
    if (requestType_ == pop3Quit && quitAnswered_)
        return; // QUIT was answered: only the close is awaited
    if (!line.empty() && line[0] == '+') {
        statusCode_ = 0;
        requestResult_ = 0;
        protocolState_ = nextState_;
        if (next_) {
            const std::function<void()> next = std::move(next_);
            next_ = nullptr;
            next();
            return;
        }
        FinishRequest(0);
        return;
    }
    statusCode_ = kPop3Failure;
    requestResult_ = kPop3Failure;
    next_ = nullptr;
    SetErrorLine(line);
    FinishRequest(kPop3Failure);
}

void TCustomPop3Cli::StartLines(Lines kind) {
    lines_ = kind;
    switch (kind) {
    case Lines::List:
        Raise(OnListBegin);
        return;
    case Lines::Uidl:
        Raise(OnUidlBegin);
        return;
    case Lines::Message:
        Raise(OnMessageBegin);
        return;
    case Lines::None:
        return;
    }
}

void TCustomPop3Cli::HandleDataLine(const std::string& line) {
    const Lines kind = lines_;
    if (line == ".") {
        lines_ = Lines::None;
        const Notify& end = kind == Lines::List   ? OnListEnd
                            : kind == Lines::Uidl ? OnUidlEnd
                                                  : OnMessageEnd;
        if (!Raise(end))
            return;
        lastResponse_.clear();
        FinishRequest(0);
        return;
    }
    const std::string_view data = UnstuffDot(line);
    if (data.size() != line.size())
        lastResponse_.assign(data);
    switch (kind) {
    case Lines::List:
        ReadTwoNumbers(lastResponse_, msgNum_, msgSize_);
        Raise(OnListLine);
        return;
    case Lines::Uidl:
        ReadNumberAndId(lastResponse_, msgNum_, msgUidl_);
        Raise(OnUidlLine);
        return;
    case Lines::Message:
        if (header_.InHeader() && header_.Feed(lastResponse_)) {
            if (!Raise(OnHeaderEnd) || lines_ != kind)
                return;
        }
        Raise(OnMessageLine);
        return;
    case Lines::None:
        return;
    }
}

// ---- operations ------------------------------------------------------------------------

void TCustomPop3Cli::Open() {
    CheckReady();
    if (connected_)
        throw Pop3Exception("pop3 component already connected");
    CheckCredential(userName_, "UserName");
    CheckCredential(passWord_, "PassWord");
    requestType_ = pop3Open;
    openRunning_ = true;
    openStep_ = 0;
    errorMessage_.clear();
    lastResponse_.clear();
    const std::weak_ptr<char> alive = alive_;
    try {
        RunOpenStep();
    } catch (...) {
        if (!alive.expired())
            openRunning_ = false;
        throw;
    }
}

void TCustomPop3Cli::RunOpenStep() {
    const int step = openStep_++;
    if (step == 0) {
        Connect(); // from Open itself: a refusal reaches its caller
        return;
    }
    const std::weak_ptr<char> alive = alive_;
    try {
        if (step == 1)
            User();
        else
            Pass();
    } catch (const std::exception& e) {
        // From the message loop: the step fails like a refused command.
        if (alive.expired())
            return;
        SetErrorLine(e.what());
        openRunning_ = false;
        requestDone_ = true;
        SetState(pop3Ready);
        ReportDone(pop3Open, kPop3Failure);
    }
}

void TCustomPop3Cli::User() {
    CheckReady();
    CheckConnected();
    if (protocolState_ > pop3WaitingUser)
        Refuse("-ERR USER command invalid now");
    CheckCredential(userName_, "UserName");
    if (!openRunning_)
        errorMessage_.clear();
    SendCommand(pop3User, "USER " + Trim(userName_), pop3WaitingPass, nullptr);
}

void TCustomPop3Cli::Pass() {
    CheckReady();
    CheckConnected();
    if (protocolState_ > pop3WaitingPass)
        Refuse("-ERR PASS command invalid now");
    CheckCredential(passWord_, "PassWord");
    if (!openRunning_)
        errorMessage_.clear();
    // The password goes as typed: its outer spaces are part of it.
    SendCommand(pop3Pass, "PASS " + passWord_, pop3Transaction, nullptr);
}

void TCustomPop3Cli::RPop() {
    CheckReady();
    CheckConnected();
    if (protocolState_ > pop3WaitingPass)
        Refuse("-ERR RPOP command invalid now");
    CheckCredential(passWord_, "PassWord");
    errorMessage_.clear();
    SendCommand(pop3RPop, "RPOP " + passWord_, pop3Transaction, nullptr);
}

void TCustomPop3Cli::APop() {
    CheckReady();
    CheckConnected();
    if (protocolState_ != pop3WaitingUser)
        Refuse("-ERR APOP command invalid now");
    if (timestamp_.empty())
        Refuse("-ERR Server does not support APOP (no timestamp)");
    CheckCredential(userName_, "UserName");
    CheckCredential(passWord_, "PassWord");
    errorMessage_.clear();
    SendCommand(pop3APop, "APOP " + Trim(userName_) + " " + ApopDigest(timestamp_, passWord_),
                pop3Transaction, nullptr);
}

void TCustomPop3Cli::Auth() {
    CheckReady();
    CheckConnected();
    if (protocolState_ > pop3WaitingUser)
        Refuse("-ERR AUTH command invalid now");
    CheckCredential(userName_, "UserName");
    CheckCredential(passWord_, "PassWord");
    switch (authType_) {
    case popAuthNone:
        User();
        return;
    case popAuthLogin:
        errorMessage_.clear();
        SendCommand(pop3Auth, "AUTH LOGIN", pop3WaitingUser, [this] { AuthLoginUser(); });
        return;
    case popAuthCramMD5:
    case popAuthCramSHA1:
        errorMessage_.clear();
        AuthCram(authType_ == popAuthCramSHA1);
        return;
    }
}

void TCustomPop3Cli::AuthLoginUser() {
    SetState(pop3InternalReady);
    SendCommand(pop3User, EncodeBase64(userName_), pop3WaitingUser, [this] {
        SetState(pop3InternalReady);
        SendCommand(pop3Pass, EncodeBase64(passWord_), pop3Transaction, nullptr);
    });
}

void TCustomPop3Cli::AuthCram(bool sha1) {
    SendCommand(pop3Auth, sha1 ? "AUTH CRAM-SHA1" : "AUTH CRAM-MD5", pop3WaitingUser, [this, sha1] {
        if (lastResponse_.size() <= 2) {
            lastResponse_ = std::string(sha1 ? "-ERR Malformed SHA1 Challenge: "
                                             : "500 Malformed MD5 Challenge: ") +
                            lastResponse_;
            SetErrorLine(lastResponse_);
            requestResult_ = kPop3Failure;
            FinishRequest(kPop3Failure);
            return;
        }
        SetState(pop3InternalReady);
        SendCommand(pop3Pass, Pop3CramResponse(userName_, passWord_, lastResponse_, sha1),
                    pop3Transaction, nullptr);
    });
}

void TCustomPop3Cli::Quit() {
    CheckReady();
    errorMessage_.clear();
    quitAnswered_ = false;
    if (!connected_) {
        requestType_ = pop3Quit;
        requestDone_ = true;
        SetState(pop3Ready);
        ReportDone(pop3Quit, 0);
        return;
    }
    SendCommand(pop3Quit, "QUIT", pop3Disconnected, nullptr);
}

void TCustomPop3Cli::Stat() {
    Transaction(pop3Stat, "STAT", "STAT", [this] {
        ReadTwoNumbers(lastResponse_, msgCount_, msgSize_);
        FinishRequest(0);
    });
}

void TCustomPop3Cli::List() {
    if (msgNum_ > 0) {
        Transaction(pop3List, "LIST", "LIST " + std::to_string(msgNum_), [this] {
            ReadTwoNumbers(lastResponse_, msgNum_, msgSize_);
            FinishRequest(0);
        });
        return;
    }
    Transaction(pop3List, "LIST", "LIST", [this] { StartLines(Lines::List); });
}

void TCustomPop3Cli::Uidl() {
    if (msgNum_ > 0) {
        Transaction(pop3Uidl, "UIDL", "UIDL " + std::to_string(msgNum_), [this] {
            ReadNumberAndId(lastResponse_, msgNum_, msgUidl_);
            FinishRequest(0);
        });
        return;
    }
    Transaction(pop3Uidl, "UIDL", "UIDL", [this] { StartLines(Lines::Uidl); });
}

void TCustomPop3Cli::Retr() {
    Transaction(pop3Retr, "RETR", "RETR " + std::to_string(msgNum_),
                [this] { StartLines(Lines::Message); });
}

void TCustomPop3Cli::Top() {
    CheckReady();
    CheckConnected();
    if (protocolState_ != pop3Transaction)
        Refuse("-ERR TOP command invalid now");
    if (msgLines_ < 0)
        throw Pop3Exception("Invalid MsgLines for TOP command");
    Transaction(pop3Top, "TOP", "TOP " + std::to_string(msgNum_) + " " + std::to_string(msgLines_),
                [this] { StartLines(Lines::Message); });
}

void TCustomPop3Cli::Dele() {
    Transaction(pop3Dele, "DELE", "DELE " + std::to_string(msgNum_), nullptr);
}

void TCustomPop3Cli::Noop() {
    Transaction(pop3Noop, "NOOP", "NOOP", nullptr);
}

void TCustomPop3Cli::Last() {
    Transaction(pop3Last, "LAST", "LAST", [this] {
        msgNum_ = ReadNumber(lastResponse_);
        FinishRequest(0);
    });
}

void TCustomPop3Cli::RSet() {
    Transaction(pop3RSet, "RSET", "RSET", nullptr);
}

void TCustomPop3Cli::Abort() {
    SetState(pop3Abort);
    const std::weak_ptr<char> alive = alive_;
    if (lookingUp_) {
        lookingUp_ = false;
        socket_->CancelLookup();
        if (alive.expired())
            return;
    }
    quitTimer_->stop();
    next_ = nullptr;
    socket_->Abort();
    if (alive.expired())
        return;
    if (connected_) { // no session was up for the socket to close
        connected_ = false;
        protocolState_ = pop3Disconnected;
        lines_ = Lines::None;
    }
    // A request that the close did not end (a lookup, a connect) ends here.
    if (!requestDone_) {
        FinishRequest(kPop3Aborted);
        if (alive.expired())
            return;
    }
    SetState(pop3Ready);
}

} // namespace qordex::mail
