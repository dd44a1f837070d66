// The control side of the FTP client: properties, commands and replies, the
// plans of the complete operations, the proxy modes and the blocking twins.

#include "ftp/FtpCli.h"

#include "base/Text.h"
#include "ftp/FtpText.h"
#include "platform/MessageLoop.h"
#include "platform/SocketErrors.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <thread>

namespace qordex::ftp {
namespace {

enum : unsigned {
    WM_FTP_REQUEST_DONE = WM_USER + 1,
    WM_FTP_START_SEND = WM_USER + 2,
};

// Counts the public calls in progress: a refusal inside one is raised to
// its caller, a refusal from the loop ends the request instead.
struct CallGuard {
    explicit CallGuard(int& depth) : depth_(depth) { ++depth_; }
    ~CallGuard() { --depth_; }
    int& depth_;
};

constexpr std::uint64_t Bit(int step) {
    return std::uint64_t(1) << step;
}

} // namespace

TCustomFtpCli::TCustomFtpCli() : alive_(std::make_shared<char>(0)) {
    window_ = std::make_unique<HiddenWindow>(
        [this](unsigned msg, WPARAM w, LPARAM l) { WndProc(msg, w, l); });
    ctrl_.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) { ControlDnsLookupDone(e); };
    ctrl_.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
        ControlSessionConnected(e);
    };
    ctrl_.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { ControlSessionClosed(e); };
    ctrl_.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { ControlDataAvailable(); };
    ctrl_.OnSocksError = [this](TCustomWSocket*, int, const std::string& msg) {
        socksError_ = msg;
    };
    auto bg = [this](TCustomWSocket*, const std::exception& e, bool& canClose) {
        canClose = false; // the client decides, and aborts both sockets itself
        BgException(e);
    };
    ctrl_.OnBgException = bg;
    data_.OnBgException = bg;
    data_.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) {
        DataSessionAvailable(e);
    };
    data_.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
        DataSessionConnected(e);
    };
    data_.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) { DataAvailable(e); };
    data_.OnDataSent = [this](TCustomWSocket*, std::uint16_t e) { DataSent(e); };
    data_.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { DataSessionClosed(e); };
    dataBuffer_.resize(kFtpDataBlock);
    bandwidthTimer_ = std::make_unique<QTimer>();
    QObject::connect(bandwidthTimer_.get(), &QTimer::timeout, bandwidthTimer_.get(),
                     [this] { BandwidthTick(); });
}

TCustomFtpCli::~TCustomFtpCli() {
    alive_.reset(); // whoever called into us and is still on the stack sees it
    for (TWSocket* s : {&ctrl_, &data_}) {
        s->OnDnsLookupDone = nullptr;
        s->OnSessionConnected = nullptr;
        s->OnSessionClosed = nullptr;
        s->OnDataAvailable = nullptr;
        s->OnDataSent = nullptr;
        s->OnSessionAvailable = nullptr;
        s->OnBgException = nullptr;
        s->OnSocksError = nullptr;
    }
    CloseLocalFile();
}

// ---- properties ------------------------------------------------------------

TFtpShareMode TCustomFtpCli::ShareMode() const {
    return shareMode_ >= ftpShareCompat && shareMode_ <= ftpShareDenyNone
               ? TFtpShareMode(shareMode_)
               : ftpShareExclusive;
}

void TCustomFtpCli::SetConnectionType(TFtpConnectionType v) {
    CallGuard guard(callDepth_);
    if (connected_) {
        RefuseCall("FTP component connected");
        return;
    }
    connectionType_ = v;
}

void TCustomFtpCli::SetDataPortRangeStart(std::uint32_t v) {
    CallGuard guard(callDepth_);
    if (v > 65535) {
        RefuseCall("DataPortRangeStart must be in the range 0..65535");
        return;
    }
    dataPortRangeStart_ = v;
}

void TCustomFtpCli::SetDataPortRangeEnd(std::uint32_t v) {
    CallGuard guard(callDepth_);
    if (v > 65535) {
        RefuseCall("DataPortRangeEnd must be in the range 0..65535");
        return;
    }
    dataPortRangeEnd_ = v;
}

// ---- small helpers ---------------------------------------------------------

void TCustomFtpCli::SetState(TFtpState s) {
    if (state_ == s)
        return;
    state_ = s;
    if (auto h = OnStateChange)
        h(this);
}

bool TCustomFtpCli::AllowsStart() const {
    return state_ == ftpReady || state_ == ftpInternalReady || state_ == ftpPasvReady;
}

void TCustomFtpCli::Display(const std::string& msg) {
    if (auto h = OnDisplay) {
        std::string m = msg;
        h(this, m);
    }
}

void TCustomFtpCli::RefuseCall(const std::string& msg) {
    const bool wasHighLevel = highLevel_;
    plan_ = 0;
    next_ = doneAsync_ = nullptr;
    highLevel_ = false;
    lastResponse_.clear();
    errorMessage_.clear();
    refused_ = true;
    if (wasHighLevel && state_ == ftpInternalReady)
        SetState(ftpReady);
    std::string m = msg;
    if (callDepth_ == 0) {
        // A step of a complete operation, run from the loop: nobody can
        // catch an exception here, and the request must still end.
        const std::weak_ptr<char> life = alive_;
        if (auto h = OnError)
            h(this, m);
        if (life.expired())
            return;
        errorMessage_ = msg;
        requestDone_ = false;
        FinishRequest(500);
        return;
    }
    if (auto h = OnError) {
        h(this, m);
        return;
    }
    throw FtpException(msg);
}

bool TCustomFtpCli::MayStartCommand() {
    if (!AllowsStart()) {
        RefuseCall("FTP component not ready");
        return false;
    }
    if (!connected_) {
        RefuseCall("FTP component not connected");
        return false;
    }
    return true;
}

bool TCustomFtpCli::CheckField(const char* name, const std::string& value) {
    if (!HasCommandBreak(value))
        return true;
    RefuseCall(std::string(name) + " contains CR, LF or NUL");
    return false;
}

bool TCustomFtpCli::CheckPlanFields(Plan plan) {
    auto has = [plan](int step) { return (plan & Bit(step)) != 0; };
    if (has(stUser) && !CheckField("UserName", userName_))
        return false;
    if (has(stUser) && connectionType_ == ftpProxy &&
        (!CheckField("HostName", hostName_) || !CheckField("Port", port_)))
        return false;
    if (has(stPass) && !CheckField("PassWord", passWord_))
        return false;
    if (has(stAcct) && !CheckField("Account", account_))
        return false;
    if (has(stCwd) && !CheckField("HostDirName", hostDirName_))
        return false;
    for (int s :
         {stSize, stMkd, stRmd, stDele, stRnfr, stGet, stPut, stAppend, stDir, stLs, stMlsd})
        if (has(s) && !CheckField("HostFileName", hostFileName_))
            return false;
    if ((has(stRnto) || has(stQuote)) && !CheckField("LocalFileName", localFileName_))
        return false;
    return true;
}

std::string TCustomFtpCli::ClosedLine(int error) const {
    std::string line = "500 Control connection closed.";
    if (error != 0)
        line += " " + WSocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
    return line;
}

std::string TCustomFtpCli::UserCommand() const {
    return connectionType_ == ftpProxy ? ProxyUserCommand(userName_, hostName_, port_)
                                       : "USER " + userName_;
}

std::int64_t TCustomFtpCli::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void TCustomFtpCli::PostToSelf(unsigned msg, WPARAM w, LPARAM l) {
    window_->Post(msg, w, l);
}

void TCustomFtpCli::WndProc(unsigned msg, WPARAM w, LPARAM l) {
    try {
        switch (msg) {
        case WM_FTP_REQUEST_DONE:
            if (auto h = OnRequestDone)
                h(this, TFtpRequest(w), std::uint16_t(l));
            break;
        case WM_FTP_START_SEND:
            SendNextBlock();
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        BgException(e);
    }
}

void TCustomFtpCli::BgException(const std::exception& e) {
    const std::weak_ptr<char> life = alive_;
    bool canClose = true;
    try {
        if (auto h = OnBgException)
            h(this, e, canClose);
    } catch (...) {
    }
    if (life.expired() || !canClose)
        return;
    try {
        AbortAsync();
    } catch (...) {
    }
}

// ---- commands and replies --------------------------------------------------

void TCustomFtpCli::RunCommand(const std::string& cmd, std::vector<int> accepted, TFtpRequest rq,
                               int step, Continuation after) {
    const bool special = cmd == "ABOR" || cmd == "STAT" || cmd == "QUIT";
    if (!special && !MayStartCommand())
        return;
    SendCommand(cmd, std::move(accepted), rq, step, after, &TCustomFtpCli::JudgeReply);
}

void TCustomFtpCli::SendCommand(const std::string& cmd, std::vector<int> accepted, TFtpRequest rq,
                                int step, Continuation after, Continuation judge) {
    if (!highLevel_)
        requestType_ = rq;
    accepted_ = std::move(accepted);
    replyLines_.clear();
    requestDone_ = false;
    requestResult_ = 0;
    next_ = judge;
    doneAsync_ = after;
    currentStep_ = step;
    errorMessage_.clear();
    const std::weak_ptr<char> life = alive_;
    SetState(ftpWaitingResponse);
    if (life.expired())
        return;
    std::string c = cmd;
    if (auto h = OnCommand) {
        h(this, c);
        if (life.expired())
            return;
    }
    if (HasCommandBreak(c)) {
        requestDone_ = true;
        SetState(ftpReady);
        RefuseCall("Command contains CR, LF or NUL");
        return;
    }
    Display("> " + c);
    if (life.expired())
        return;
    if (ctrl_.State() == wsConnected) {
        ctrl_.SendText(c + "\r\n");
        return;
    }
    const bool quit = c == "QUIT";
    statusCode_ = quit ? 200 : 550;
    lastResponse_ = std::to_string(statusCode_) + " not connected";
    next_ = doneAsync_ = nullptr;
    connected_ = false;
    if (quit) {
        FinishRequest(0);
        return;
    }
    errorMessage_ = lastResponse_;
    requestResult_ = 550;
    FinishRequest(550);
}

void TCustomFtpCli::ControlDataAvailable() {
    char buf[4096];
    const int n = ctrl_.Receive(buf, sizeof buf);
    if (n <= 0)
        return;
    reader_.SetAcceptLF((options_ & ftpAcceptLF) != 0);
    // Lines are taken out first: a handler may free the client or start a
    // new session, and what follows a line must not reach a freed reader.
    std::vector<std::string> lines;
    reader_.Feed(std::string_view(buf, std::size_t(n)),
                 [&lines](std::string_view line) { lines.emplace_back(line); });
    const std::weak_ptr<char> life = alive_;
    const TSocketState before = ctrl_.State();
    for (const std::string& line : lines) {
        HandleLine(line);
        if (life.expired() || ctrl_.State() != before)
            return;
    }
}

void TCustomFtpCli::HandleLine(std::string_view text) {
    const std::weak_ptr<char> life = alive_;
    const std::string line(text);
    lastResponse_ = line;
    if (replyLines_.size() < kFtpReplyAccumulatorLimit)
        replyLines_ += line + "\r\n";
    if (auto h = OnResponse) {
        h(this);
        if (life.expired())
            return;
    }
    const TReplyTracker::Kind kind = tracker_.Add(line);
    switch (state_) {
    case ftpWaitingBanner:
        Display(line);
        if (life.expired() || kind != TReplyTracker::Kind::Final)
            return;
        statusCode_ = tracker_.Code();
        if (statusCode_ != 220) {
            if (errorMessage_.empty())
                errorMessage_ = line;
            requestResult_ = statusCode_;
            ctrl_.Close();
            return;
        }
        SetState(ftpConnected);
        if (life.expired())
            return;
        if (auto h = OnSessionConnected) {
            h(this, 0);
            if (life.expired())
                return;
        }
        FinishRequest(0);
        return;
    case ftpWaitingResponse:
        if (kind == TReplyTracker::Kind::Final) {
            Display("< " + line);
            if (life.expired())
                return;
            statusCode_ = tracker_.Code();
            if (next_)
                (this->*next_)();
            return;
        }
        Display(line);
        return;
    default:
        Display(line);
        return;
    }
}

void TCustomFtpCli::JudgeReply() {
    const bool ok = accepted_.empty() ? statusCode_ < 500
                                      : std::find(accepted_.begin(), accepted_.end(),
                                                  statusCode_) != accepted_.end();
    if (!ok) {
        requestResult_ = statusCode_;
        if (errorMessage_.empty())
            errorMessage_ = lastResponse_;
    }
    if (statusCode_ == 227 && Passive()) {
        pasvReply_ = lastResponse_;
        SetState(ftpPasvReady);
    }
    if (ok) {
        if (currentStep_ == stSize) {
            if (auto size = SizeFromReply(lastResponse_))
                lastFileSize_ = *size;
        } else if (currentStep_ == stCwd || currentStep_ == stMkd || currentStep_ == stPwd ||
                   currentStep_ == stCDup) {
            if (auto dir = QuotedDirectory(lastResponse_))
                lastDirectory_ = *dir;
        }
    }
    if (doneAsync_) {
        (this->*doneAsync_)();
        return;
    }
    FinishRequest(requestResult_);
}

void TCustomFtpCli::QuitDone() {
    // The close ends the request (see ControlSessionClosed).
    ctrl_.Close();
}

// ---- the end of a request -------------------------------------------------------

void TCustomFtpCli::FinishRequest(int error) {
    if (requestDone_)
        return;
    requestDone_ = true;
    lastStepCode_ = statusCode_;
    if (error == 0 && highLevel_) {
        if (state_ != ftpAbort && state_ != ftpPasvReady)
            SetState(ftpInternalReady);
        RunNextStep();
        return;
    }
    EndRequest(error);
}

void TCustomFtpCli::EndRequest(int error) {
    xferActive_ = false;
    StopBandwidth();
    if (data_.State() != wsClosed) {
        try {
            data_.Close();
        } catch (...) {
        }
    }
    CloseLocalFile();
    if (highLevel_ && quitSaved_) {
        lastResponse_ = savedResponse_;
        statusCode_ = savedStatus_;
    }
    highLevel_ = false;
    plan_ = 0;
    requestResult_ = error;
    next_ = doneAsync_ = nullptr;
    PostToSelf(WM_FTP_REQUEST_DONE, WPARAM(requestType_), LPARAM(std::uint16_t(error)));
    SetState(ftpReady);
}

// ---- complete operations ----------------------------------------------------------

void TCustomFtpCli::StartPlan(Plan plan, TFtpRequest rq) {
    if (!AllowsStart()) {
        RefuseCall("FTP component not ready");
        return;
    }
    if (!CheckPlanFields(plan))
        return;
    plan_ = plan;
    highLevel_ = true;
    requestType_ = rq;
    highLevelResult_ = 0;
    requestResult_ = 0;
    lastStep_ = 0;
    lastStepCode_ = 0;
    quitSaved_ = false;
    RunNextStep();
}

void TCustomFtpCli::RunNextStep() {
    if (state_ == ftpAbort) {
        plan_ = 0;
        highLevelResult_ = 426;
        errorMessage_ = "426 Operation aborted.";
    } else if (requestResult_ != 0) {
        highLevelResult_ = requestResult_;
        plan_ &= lastStep_ != stQuit ? Bit(stQuit) : 0;
    }
    // The order in which a plan's steps run.
    static constexpr int kOrder[] = {stOpen, stUser, stPass,  stAcct, stCwd,    stCDup, stTypeSet,
                                     stPort, stRest, stGet,   stPut,  stAppend, stDir,  stLs,
                                     stSyst, stMkd,  stRmd,   stRnfr, stRnto,   stSize, stDele,
                                     stPwd,  stAbor, stQuote, stQuit, stMlsd};
    for (int step : kOrder) {
        if (!(plan_ & Bit(step)))
            continue;
        plan_ &= ~Bit(step);
        // PASS only when USER asked for it.
        if (step == stPass && lastStep_ == stUser && lastStepCode_ != 331)
            continue;
        // ACCT only when the server asked for an account (332), after USER
        // or PASS; after a plain 230 there is nothing to send.
        if (step == stAcct && lastStepCode_ != 332)
            continue;
        if (step == stCwd && hostDirName_.empty())
            continue;
        prevStep_ = lastStep_;
        prevStepCode_ = lastStepCode_;
        lastStep_ = step;
        RunStep(step);
        return;
    }
    EndRequest(highLevelResult_);
}

#define QORDEX_FTP_PLAN(name, rq, ...)                                                             \
    void TCustomFtpCli::name() {                                                                   \
        CallGuard guard(callDepth_);                                                               \
        Plan plan = 0;                                                                             \
        for (int s : {__VA_ARGS__})                                                                \
            plan |= Bit(s);                                                                        \
        StartPlan(plan, rq);                                                                       \
    }

QORDEX_FTP_PLAN(ConnectAsync, ftpConnectAsync, stOpen, stUser, stPass, stAcct)
QORDEX_FTP_PLAN(GetAsync, ftpGetAsync, stPort, stGet)
QORDEX_FTP_PLAN(RestGetAsync, ftpRestGetAsync, stPort, stRest, stGet)
QORDEX_FTP_PLAN(PutAsync, ftpPutAsync, stPort, stPut)
QORDEX_FTP_PLAN(RestPutAsync, ftpRestPutAsync, stPort, stRest, stPut)
QORDEX_FTP_PLAN(AppendAsync, ftpAppendAsync, stPort, stAppend)
QORDEX_FTP_PLAN(DirAsync, ftpDirAsync, stPort, stDir)
QORDEX_FTP_PLAN(LsAsync, ftpLsAsync, stPort, stLs)
QORDEX_FTP_PLAN(MlsdAsync, ftpMlsdAsync, stPort, stMlsd)
QORDEX_FTP_PLAN(RenAsync, ftpRenAsync, stRnfr, stRnto)
QORDEX_FTP_PLAN(ReceiveAsync, ftpReceiveAsync, stOpen, stUser, stPass, stAcct, stCwd, stTypeSet,
                stPort, stGet, stQuit)
QORDEX_FTP_PLAN(RestartGetAsync, ftpRestartGetAsync, stOpen, stUser, stPass, stAcct, stCwd,
                stTypeSet, stPort, stRest, stGet, stQuit)
QORDEX_FTP_PLAN(TransmitAsync, ftpTransmitAsync, stOpen, stUser, stPass, stAcct, stCwd, stTypeSet,
                stPort, stPut, stQuit)
QORDEX_FTP_PLAN(RestartPutAsync, ftpRestartPutAsync, stOpen, stUser, stPass, stAcct, stCwd,
                stTypeSet, stPort, stRest, stPut, stQuit)
QORDEX_FTP_PLAN(AppendFileAsync, ftpTransmitAsync, stOpen, stUser, stPass, stAcct, stCwd, stTypeSet,
                stPort, stAppend, stQuit)
QORDEX_FTP_PLAN(DirectoryAsync, ftpDirectoryAsync, stOpen, stUser, stPass, stAcct, stCwd, stPort,
                stDir, stQuit)
QORDEX_FTP_PLAN(ListAsync, ftpListAsync, stOpen, stUser, stPass, stAcct, stCwd, stPort, stLs,
                stQuit)
QORDEX_FTP_PLAN(SystemAsync, ftpSystemAsync, stOpen, stUser, stPass, stAcct, stSyst, stQuit)
QORDEX_FTP_PLAN(FileSizeAsync, ftpSizeAsync, stOpen, stUser, stPass, stAcct, stCwd, stSize, stQuit)
QORDEX_FTP_PLAN(RenameAsync, ftpRenameAsync, stOpen, stUser, stPass, stAcct, stCwd, stRnfr, stRnto,
                stQuit)
QORDEX_FTP_PLAN(DeleteAsync, ftpDeleteAsync, stOpen, stUser, stPass, stAcct, stCwd, stDele, stQuit)
QORDEX_FTP_PLAN(MkdirAsync, ftpMkdirAsync, stOpen, stUser, stPass, stAcct, stCwd, stMkd, stQuit)
QORDEX_FTP_PLAN(RmdirAsync, ftpRmdirAsync, stOpen, stUser, stPass, stAcct, stCwd, stRmd, stQuit)
QORDEX_FTP_PLAN(DoQuoteAsync, ftpDoQuoteAsync, stOpen, stUser, stPass, stAcct, stCwd, stQuote,
                stQuit)
#undef QORDEX_FTP_PLAN

// ---- single steps -----------------------------------------------------------------

#define QORDEX_FTP_STEP(name, step)                                                                \
    void TCustomFtpCli::name() {                                                                   \
        CallGuard guard(callDepth_);                                                               \
        RunStep(step);                                                                             \
    }

QORDEX_FTP_STEP(OpenAsync, stOpen)
QORDEX_FTP_STEP(UserAsync, stUser)
QORDEX_FTP_STEP(PassAsync, stPass)
QORDEX_FTP_STEP(AccountAsync, stAcct)
QORDEX_FTP_STEP(CwdAsync, stCwd)
QORDEX_FTP_STEP(CDupAsync, stCDup)
QORDEX_FTP_STEP(PwdAsync, stPwd)
QORDEX_FTP_STEP(TypeSetAsync, stTypeSet)
QORDEX_FTP_STEP(SizeAsync, stSize)
QORDEX_FTP_STEP(MkdAsync, stMkd)
QORDEX_FTP_STEP(RmdAsync, stRmd)
QORDEX_FTP_STEP(DeleAsync, stDele)
QORDEX_FTP_STEP(RenFromAsync, stRnfr)
QORDEX_FTP_STEP(RenToAsync, stRnto)
QORDEX_FTP_STEP(SystAsync, stSyst)
QORDEX_FTP_STEP(QuoteAsync, stQuote)
QORDEX_FTP_STEP(AbortXferAsync, stAbor)
QORDEX_FTP_STEP(RestAsync, stRest)
QORDEX_FTP_STEP(PortAsync, stPort)
QORDEX_FTP_STEP(QuitAsync, stQuit)
#undef QORDEX_FTP_STEP

void TCustomFtpCli::RunStep(int step) {
    // A command with a field in it: the field is checked first.
    auto withField = [this](const char* name, const std::string& value, const char* emptyText,
                            const std::string& cmd, std::vector<int> accepted, TFtpRequest rq,
                            int s) {
        if (emptyText && value.empty()) {
            RefuseCall(emptyText);
            return;
        }
        if (!CheckField(name, value))
            return;
        RunCommand(cmd + value, std::move(accepted), rq, s);
    };
    switch (step) {
    case stOpen:
        DoOpen();
        break;
    case stUser:
        if (userName_.empty()) {
            RefuseCall("UserName empty");
            return;
        }
        if (!CheckPlanFields(Bit(stUser)))
            return;
        RunCommand(UserCommand(), {331, 230}, ftpUserAsync, stUser);
        break;
    case stPass:
        withField("PassWord", passWord_, "Password empty", "PASS ", {230, 332}, ftpPassAsync,
                  stPass);
        break;
    case stAcct:
        withField("Account", account_, "Account empty!", "ACCT ", {230, 202}, ftpAccountAsync,
                  stAcct);
        break;
    case stCwd:
        withField("HostDirName", hostDirName_, "HostDirName empty", "CWD ", {200, 250, 257},
                  ftpCwdAsync, stCwd);
        break;
    case stCDup:
        RunCommand("CDUP", {250, 257}, ftpCDupAsync, stCDup);
        break;
    case stPwd:
        RunCommand("PWD", {250, 257}, ftpPwdAsync, stPwd);
        break;
    case stTypeSet:
        RunCommand(binary_ ? "TYPE I" : "TYPE A", {200}, ftpTypeSetAsync, stTypeSet);
        break;
    case stSize:
        withField("HostFileName", hostFileName_, nullptr, "SIZE ", {213}, ftpSizeAsync, stSize);
        break;
    case stMkd:
        withField("HostFileName", hostFileName_, nullptr, "MKD ", {200, 250, 257}, ftpMkdAsync,
                  stMkd);
        break;
    case stRmd:
        withField("HostFileName", hostFileName_, nullptr, "RMD ", {200, 250, 257}, ftpRmdAsync,
                  stRmd);
        break;
    case stDele:
        withField("HostFileName", hostFileName_, nullptr, "DELE ", {200, 250, 257}, ftpDeleAsync,
                  stDele);
        break;
    case stRnfr:
        withField("HostFileName", hostFileName_, nullptr, "RNFR ", {350}, ftpRenFromAsync, stRnfr);
        break;
    case stRnto:
        withField("LocalFileName", localFileName_, nullptr, "RNTO ", {200, 250, 257}, ftpRenToAsync,
                  stRnto);
        break;
    case stSyst:
        RunCommand("SYST", {215}, ftpSystAsync, stSyst);
        break;
    case stQuote:
        withField("LocalFileName", localFileName_, nullptr, "", {}, ftpQuoteAsync, stQuote);
        break;
    case stAbor:
        RunCommand("ABOR", {}, ftpAbortXferAsync, stAbor);
        break;
    case stQuit:
        if (highLevel_) {
            savedResponse_ = lastResponse_;
            savedStatus_ = statusCode_;
            quitSaved_ = true;
        }
        CloseLocalFile();
        RunCommand("QUIT", {221}, ftpQuitAsync, stQuit, &TCustomFtpCli::QuitDone);
        break;
    case stPort:
        DoPort();
        break;
    case stRest:
        DoRest();
        break;
    case stGet:
        DoReceive("RETR");
        break;
    case stDir:
        DoReceive("LIST");
        break;
    case stLs:
        DoReceive("NLST");
        break;
    case stMlsd:
        DoReceive("MLSD");
        break;
    case stPut:
        DoSend("STOR");
        break;
    case stAppend:
        DoSend("APPE");
        break;
    default:
        break;
    }
}

// ---- the control connection ----------------------------------------------------------

void TCustomFtpCli::DoOpen() {
    if (!AllowsStart()) {
        RefuseCall("FTP component not ready");
        return;
    }
    if (connected_) {
        RefuseCall("FTP component already connected");
        return;
    }
    if (!highLevel_)
        requestType_ = ftpOpenAsync;
    requestDone_ = false;
    requestResult_ = 0;
    statusCode_ = 0;
    reader_.Reset();
    tracker_.Reset();
    lastResponse_.clear();
    errorMessage_.clear();
    replyLines_.clear();
    next_ = doneAsync_ = nullptr;
    currentStep_ = stOpen;
    const std::weak_ptr<char> life = alive_;
    SetState(ftpDnsLookup);
    if (life.expired())
        return;
    const std::string host = connectionType_ == ftpProxy ? proxyServer_ : hostName_;
    if (Trim(host).empty()) {
        ControlDnsLookupDone(WSAEINVAL);
        return;
    }
    // SOCKS 4A and 5 proxies resolve the server's name themselves: this
    // machine may not even be able to.
    if (connectionType_ == ftpSocks4A || connectionType_ == ftpSocks5) {
        ConnectControl(Trim(host));
        return;
    }
    ctrl_.DnsLookup(host);
}

void TCustomFtpCli::ConnectFailed(int error) {
    const std::string reason =
        socksError_.empty() ? WSocketErrorText(error) : "SOCKS: " + socksError_;
    lastResponse_ = "500 " + reason + " (Winsock error #" + std::to_string(error) + ")";
    statusCode_ = 500;
    requestResult_ = 500;
    if (errorMessage_.empty())
        errorMessage_ = lastResponse_;
}

void TCustomFtpCli::ControlDnsLookupDone(std::uint16_t error) {
    if (state_ != ftpDnsLookup)
        return;
    if (error != 0) {
        ConnectFailed(error);
        FinishRequest(error);
        return;
    }
    ConnectControl(ctrl_.DnsResult());
}

void TCustomFtpCli::ConnectControl(const std::string& addr) {
    try {
        socksError_.clear();
        ctrl_.SetAddr(addr);
        ctrl_.SetLocalAddr(localAddr_);
        ctrl_.SetProto("tcp");
        ctrl_.SetPort(connectionType_ == ftpProxy ? "ftp" : port_);
        ApplySocks(ctrl_);
        const std::weak_ptr<char> life = alive_;
        SetState(ftpWaitingBanner);
        if (life.expired())
            return;
        ctrl_.Connect();
    } catch (const std::exception& e) {
        lastResponse_ = std::string("500 ") + ExceptionClassName(e) + ": " + e.what();
        statusCode_ = 500;
        requestResult_ = 500;
        if (errorMessage_.empty())
            errorMessage_ = lastResponse_;
        FinishRequest(500);
    }
}

void TCustomFtpCli::ControlSessionConnected(std::uint16_t error) {
    if (error != 0) {
        ConnectFailed(error);
        const std::weak_ptr<char> life = alive_;
        FinishRequest(error);
        if (life.expired())
            return;
        if (ctrl_.State() != wsClosed)
            ctrl_.Close();
        return;
    }
    connected_ = true;
    // The address the session reached: behind a SOCKS proxy the server
    // itself (as named to the proxy), otherwise the peer of the connection.
    controlPeer_ = Socks() ? ctrl_.Addr() : ctrl_.GetPeerAddr();
}

void TCustomFtpCli::ControlSessionClosed(std::uint16_t error) {
    const std::weak_ptr<char> life = alive_;
    if (connected_) {
        connected_ = false;
        if (state_ != ftpAbort)
            SetState(ftpNotConnected);
        if (life.expired())
            return;
        if (auto h = OnSessionClosed) {
            h(this, error);
            if (life.expired())
                return;
        }
    }
    if (requestDone_) {
        if (state_ != ftpAbort)
            SetState(ftpReady);
        return;
    }
    if (state_ != ftpAbort)
        SetState(ftpInternalReady);
    if (life.expired())
        return;
    if (state_ == ftpAbort) {
        if (requestResult_ == 0)
            requestResult_ = 426;
        if (errorMessage_.empty())
            errorMessage_ = "426 Operation aborted.";
    } else if (error != 0 || (currentStep_ != stQuit && requestResult_ == 0)) {
        // Only QUIT may end on a close: for anything else the reply that
        // would have told the outcome never came.
        lastResponse_ = ClosedLine(error);
        statusCode_ = 500;
        requestResult_ = 500;
        if (errorMessage_.empty())
            errorMessage_ = lastResponse_;
    }
    FinishRequest(requestResult_);
}

void TCustomFtpCli::AbortAsync() {
    CallGuard guard(callDepth_);
    const std::weak_ptr<char> life = alive_;
    SetState(ftpAbort);
    if (life.expired())
        return;
    CloseLocalFile();
    xferActive_ = false;
    StopBandwidth();
    data_.Abort();
    if (life.expired())
        return;
    ctrl_.Abort();
    if (life.expired())
        return;
    connected_ = false;
    if (!requestDone_) {
        // A request still waiting for a lookup or a reply ends here.
        if (requestResult_ == 0)
            requestResult_ = 426;
        if (errorMessage_.empty())
            errorMessage_ = "426 Operation aborted.";
        highLevel_ = false;
        FinishRequest(requestResult_);
        if (life.expired())
            return;
    }
    SetState(ftpReady);
}

// ---- blocking twins -------------------------------------------------------------------

bool TCustomFtpCli::Synchronize(void (TCustomFtpCli::*op)()) {
    const std::weak_ptr<char> life = alive_;
    refused_ = false;
    try {
        (this->*op)();
    } catch (...) {
        return false;
    }
    if (life.expired() || refused_)
        return false;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_);
    auto done = [&] { return life.expired() || (requestDone_ && !highLevel_); };
    while (!done()) {
        if (QCoreApplication::closingDown())
            break;
        int wait = 1000;
        if (timeout_ > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline_ - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                break;
            wait = int(std::min<long long>(wait, left));
        }
        if (options_ & ftpWaitUsingSleep) {
            std::this_thread::yield();
            PumpMessages();
        } else {
            PumpUntil(done, wait);
        }
    }
    if (life.expired())
        return false;
    if (done())
        return requestResult_ == 0;
    try {
        AbortAsync();
    } catch (...) {
    }
    if (life.expired())
        return false;
    errorMessage_ = "426 Timeout";
    statusCode_ = 426;
    return false;
}

} // namespace qordex::ftp
