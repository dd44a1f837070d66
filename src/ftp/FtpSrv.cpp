#include "ftp/FtpSrv.h"

#include "ftp/FtpSrvFiles.h"
#include "ftp/FtpSrvParse.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <nettle/md5.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::ftp {

namespace {

// Deferred work of the server, posted to its listener's window with the
// client's ID; each looks the client up again before it acts.
enum : unsigned {
    kMsgCloseClient = WM_USER + 40, // close after the output went out
    kMsgAbortData = WM_USER + 41,
    kMsgHalfClose = WM_USER + 42,
    kMsgStartSend = WM_USER + 43,
    kMsgMd5Step = WM_USER + 44,
};

constexpr std::size_t kMd5Block = 102400;

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

std::string Fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    char small[512];
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(small, sizeof small, f, ap);
    va_end(ap);
    std::string out;
    if (n >= 0 && std::size_t(n) < sizeof small) {
        out.assign(small, std::size_t(n));
    } else if (n >= 0) {
        out.resize(std::size_t(n) + 1);
        std::vsnprintf(out.data(), out.size(), f, ap2);
        out.resize(std::size_t(n));
    }
    va_end(ap2);
    return out;
}

} // namespace

// ---- the listener ----------------------------------------------------------

class TFtpServer::Listener : public TWSocketServer {
public:
    explicit Listener(TFtpServer* owner) : owner_(owner) {}

protected:
    void WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) override {
        if (msg >= kMsgCloseClient && msg <= kMsgMd5Step) {
            owner_->Notice(msg, std::uint64_t(wParam));
            return;
        }
        TWSocketServer::WndProc(msg, wParam, lParam);
    }

private:
    TFtpServer* owner_;
};

struct TFtpCtrlSocket::Md5Job {
    Fd file;
    md5_ctx ctx{};
    std::string params;
};

// ---- the control connection ------------------------------------------------

TFtpCtrlSocket::TFtpCtrlSocket() = default;
TFtpCtrlSocket::~TFtpCtrlSocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

void TFtpCtrlSocket::SendBanner() {
    if (ftpServer_)
        ftpServer_->SendAnswer(this, Banner());
    else
        TWSocketClient::SendBanner();
}

void TFtpCtrlSocket::SetRcvSize(int v) {
    if (!inbuf_.empty())
        throw FtpServerException("Data in buffer, can't change size");
    rcvSize_ = std::max(v, 16);
}

void TFtpCtrlSocket::DataAvailable() {
    const LifeCheck life(*this);
    if (overflowed_) {
        char sink[4096];
        while (Receive(sink, sizeof sink) > 0) {
        }
        return;
    }
    const int room = rcvSize_ - 1 - int(inbuf_.size());
    if (room <= 0)
        return;
    std::string buf(std::size_t(room), '\0');
    const int n = Receive(buf.data(), room);
    if (!life.Alive() || n <= 0)
        return;
    inbuf_.append(buf.data(), std::size_t(n));
    DeliverLines();
}

void TFtpCtrlSocket::DeliverLines() {
    const LifeCheck life(*this);
    for (;;) {
        const std::size_t lf = inbuf_.find('\n');
        std::string line;
        if (lf == std::string::npos) {
            if (int(inbuf_.size()) < rcvSize_ - 1)
                return;
            // A full buffer without a line end: answered, then closed.
            inbuf_.clear();
            overflowed_ = true;
            line = "OVER";
        } else {
            line = inbuf_.substr(0, lf);
            inbuf_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
        }
        LastCommandTime = std::time(nullptr);
        ++CommandCount;
        if (auto h = OnCommand)
            h(this, line.data(), int(line.size()));
        if (!life.Alive())
            return;
        if (ftpServer_)
            ftpServer_->ProcessLine(this, line);
        if (!life.Alive() || overflowed_ || State() != wsConnected)
            return;
    }
}

// ---- the server ------------------------------------------------------------

TFtpServer::TFtpServer() : listener_(std::make_unique<Listener>(this)) {
    listener_->SetName(Name);
    listener_->SetClientClass<TFtpCtrlSocket>();
    listener_->SetBannerTooBusy("421 Too many users connected.");
    listener_->OnClientCreate = [this](TCustomWSocket*, TWSocketClient* c) { ClientCreated(c); };
    listener_->OnClientConnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t e) {
        ClientConnected(c, e);
    };
    listener_->OnClientDisconnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t e) {
        ClientGone(c, e);
    };
    listener_->OnChangeState = [this](TCustomWSocket*, TSocketState, TSocketState now) {
        if (destroying_)
            return;
        if (now == wsListening) {
            if (auto h = OnStart)
                h(this);
        } else if (now == wsClosed) {
            if (auto h = OnStop)
                h(this);
        }
    };
    const std::pair<const char*, Handler> table[] = {
        {"PORT", &TFtpServer::CmdPort}, {"STOR", &TFtpServer::CmdStor}, {"RETR", &TFtpServer::CmdRetr},
        {"CWD", &TFtpServer::CmdCwd},   {"XPWD", &TFtpServer::CmdPwd},  {"PWD", &TFtpServer::CmdPwd},
        {"USER", &TFtpServer::CmdUser}, {"PASS", &TFtpServer::CmdPass}, {"LIST", &TFtpServer::CmdList},
        {"NLST", &TFtpServer::CmdNlst}, {"TYPE", &TFtpServer::CmdType}, {"SYST", &TFtpServer::CmdSyst},
        {"QUIT", &TFtpServer::CmdQuit}, {"DELE", &TFtpServer::CmdDele}, {"SIZE", &TFtpServer::CmdSize},
        {"REST", &TFtpServer::CmdRest}, {"RNFR", &TFtpServer::CmdRnfr}, {"RNTO", &TFtpServer::CmdRnto},
        {"MKD", &TFtpServer::CmdMkd},   {"RMD", &TFtpServer::CmdRmd},   {"ABOR", &TFtpServer::CmdAbor},
        {"PASV", &TFtpServer::CmdPasv}, {"NOOP", &TFtpServer::CmdNoop}, {"CDUP", &TFtpServer::CmdCdup},
        {"APPE", &TFtpServer::CmdAppe}, {"STRU", &TFtpServer::CmdStru}, {"XMKD", &TFtpServer::CmdMkd},
        {"XRMD", &TFtpServer::CmdRmd},  {"MDTM", &TFtpServer::CmdMdtm}, {"MODE", &TFtpServer::CmdMode},
        {"OVER", &TFtpServer::CmdOver}, {"STOU", &TFtpServer::CmdStou}, {"FEAT", &TFtpServer::CmdFeat},
        {"MLST", &TFtpServer::CmdMlst}, {"MLSD", &TFtpServer::CmdMlsd}, {"MFMT", &TFtpServer::CmdMdtm},
        {"MD5", &TFtpServer::CmdMd5},
    };
    static const char* const kOpen[] = {"USER", "PASS", "QUIT", "NOOP", "STRU", "ABOR", "OVER"};
    for (const auto& [kw, h] : table) {
        const bool open = std::find_if(std::begin(kOpen), std::end(kOpen), [kw = kw](const char* o) {
                              return std::string_view(o) == kw;
                          }) != std::end(kOpen);
        commands_.push_back({kw, h, !open});
    }
}

TFtpServer::~TFtpServer() {
    destroying_ = true;
    listener_.reset();
}

void TFtpServer::SetPasvPortRangeStart(int v) {
    if (v < 0 || v > 65535)
        throw std::range_error(Fmt("Invalid PasvPortRangeStart %d.", v));
    if (v != pasvStart_ && std::find(pasvUsed_.begin(), pasvUsed_.end(), true) != pasvUsed_.end())
        throw FtpServerException("Unable to change PasvPortRangeStart when port is in use.");
    pasvStart_ = v;
}

void TFtpServer::SetPasvPortRangeSize(int v) {
    if (v < 0 || v > 65535)
        throw std::range_error(Fmt("Invalid PasvPortRangeSize %d.", v));
    for (std::size_t i = std::size_t(v); i < pasvUsed_.size(); ++i)
        if (pasvUsed_[i])
            throw FtpServerException("Unable to change PasvPortRangeSize when port is in use.");
    pasvUsed_.resize(std::size_t(v), false);
    pasvSize_ = v;
}

void TFtpServer::Start() {
    if (listener_->State() == wsListening)
        return;
    listener_->SetProto("tcp");
    listener_->SetAddr(Addr);
    listener_->SetPort(Port);
    listener_->SetMaxClients(MaxClients);
    listener_->SetListenBacklog(128);
    listener_->SetReuseAddr(true);
    listener_->Listen();
}

void TFtpServer::Stop() {
    if (listener_->State() != wsClosed)
        listener_->Close();
}

bool TFtpServer::Active() const {
    return listener_->State() == wsListening;
}

int TFtpServer::ClientCount() const {
    return listener_->ClientCount();
}

TFtpCtrlSocket* TFtpServer::GetClient(int index) const {
    return static_cast<TFtpCtrlSocket*>(listener_->Client(index));
}

std::string TFtpServer::BoundPort() const {
    return listener_->GetBoundPort();
}

TFtpCtrlSocket* TFtpServer::FindClient(std::uint64_t id) const {
    for (int i = 0; i < listener_->ClientCount(); ++i) {
        auto* c = static_cast<TFtpCtrlSocket*>(listener_->Client(i));
        if (c->ID == id)
            return c;
    }
    return nullptr;
}

void TFtpServer::Post(unsigned msg, Client* c) {
    listener_->Window()->Post(msg, WPARAM(c->ID), 0);
}

void TFtpServer::ClientCreated(TWSocketClient* base) {
    auto* c = static_cast<TFtpCtrlSocket*>(base);
    c->ftpServer_ = this;
    c->ID = std::uint64_t(c->ClientNumber());
    c->Options = Options;
    c->block_.resize(kDataBlock);
    c->OnDataAvailable = [c](TCustomWSocket*, std::uint16_t) { c->DataAvailable(); };
    c->OnDataSent = [c](TCustomWSocket*, std::uint16_t) {
        if (c->closeAfterSent_)
            c->Close();
    };
    c->data_ = std::make_unique<TWSocket>();
    TWSocket& d = *c->data_;
    d.OnSessionConnected = [this, c](TCustomWSocket*, std::uint16_t e) { DataConnected(c, e); };
    d.OnDataAvailable = [this, c](TCustomWSocket*, std::uint16_t) { DataReadable(c); };
    d.OnDataSent = [this, c](TCustomWSocket*, std::uint16_t e) { DataSent(c, e); };
    d.OnSessionClosed = [this, c](TCustomWSocket*, std::uint16_t e) {
        c->PassiveConnected = false;
        DataClosed(c, e);
    };
    d.OnBgException = [](TCustomWSocket*, const std::exception&, bool&) {};
    c->pasvListen_ = std::make_unique<TWSocket>();
    c->pasvListen_->OnSessionAvailable = [this, c](TCustomWSocket*, std::uint16_t) {
        PasvAccept(c);
    };
}

void TFtpServer::ClientConnected(TWSocketClient* base, int error) {
    auto* c = static_cast<TFtpCtrlSocket*>(base);
    c->SetBanner(Banner);
    if (auto h = OnClientConnect)
        h(this, c, error);
    const int limit = MaxClients;
    listener_->SetMaxClients(limit);
    if (limit > 0 && ClientCount() > limit)
        return; // the socket server sends the busy banner and closes
    c->SessionStartTime = std::time(nullptr);
    c->CommandCount = 0;
    c->FtpState = ftpcWaitingUserCode;
}

void TFtpServer::ClientGone(TWSocketClient* base, int) {
    auto* c = static_cast<TFtpCtrlSocket*>(base);
    if (c->DataSessionActive || c->transfer_)
        DataClosed(c, 10057);
    ReleasePasvPort(c);
    c->md5_.reset();
    if (auto h = OnClientDisconnect)
        h(this, c, 0);
}

void TFtpServer::DisconnectAll() {
    while (listener_->ClientCount() > 0) {
        auto* c = static_cast<TFtpCtrlSocket*>(listener_->Client(listener_->ClientCount() - 1));
        ClientGone(c, 0);
        if (listener_->IsClient(c))
            delete c;
    }
}

void TFtpServer::SendAnswer(Client* c, std::string answer) {
    if (auto h = OnAnswerToClient)
        h(this, c, answer);
    try {
        c->SendText(answer + "\r\n");
    } catch (...) {
    }
}

void TFtpServer::CloseWhenSent(Client* c) {
    Post(kMsgCloseClient, c);
}

void TFtpServer::DoStartSendData(Client* c) {
    Post(kMsgStartSend, c);
}

void TFtpServer::Notice(unsigned msg, std::uint64_t id) {
    Client* c = FindClient(id);
    if (!c)
        return;
    switch (msg) {
    case kMsgCloseClient:
        if (c->AllSent())
            c->Close();
        else
            c->closeAfterSent_ = true;
        break;
    case kMsgAbortData:
        ReleasePasvPort(c);
        if (c->data_->State() != wsClosed) {
            c->data_->Shutdown(2);
            c->data_->Close();
        }
        DataClosed(c, 0);
        break;
    case kMsgHalfClose:
        HalfClose(c);
        break;
    case kMsgStartSend:
        StartSend(c);
        break;
    case kMsgMd5Step:
        Md5Step(id);
        break;
    }
}

void TFtpServer::ProcessLine(Client* c, const std::string& line) {
    const FtpCommandLine cmd = ParseFtpCommand(line);
    std::string keyword = cmd.keyword, params = cmd.params, answer;
    if (auto h = OnClientCommand)
        h(this, c, keyword, params, answer);
    if (!answer.empty()) {
        SendAnswer(c, answer);
        return;
    }
    const bool afterRnfr = c->renameReady_;
    c->renameReady_ = false;
    if (keyword.empty()) {
        SendAnswer(c, Fmt("500 '%s': command not understood.", params.c_str()));
        return;
    }
    auto it = std::find_if(commands_.begin(), commands_.end(),
                           [&](const CommandEntry& e) { return keyword == e.keyword; });
    if (it == commands_.end()) {
        SendAnswer(c, Fmt("500 '%s': command not understood.", keyword.c_str()));
        return;
    }
    if (it->login && c->FtpState != ftpcReady) {
        SendAnswer(c, "530 Please login with USER and PASS.");
        return;
    }
    c->LastCommand = keyword;
    if (keyword == "RNTO" && !afterRnfr) {
        SendAnswer(c, "503 Bad sequence of commands.");
        return;
    }
    try {
        (this->*(it->handler))(c, params, answer);
    } catch (const std::exception& e) {
        answer = std::string("501 ") + e.what();
    }
    if (answer.empty())
        return; // answered later (MD5)
    static const char* const kTransfers[] = {"STOR", "APPE", "STOU", "RETR", "LIST", "NLST", "MLSD"};
    const bool transfer = std::find_if(std::begin(kTransfers), std::end(kTransfers), [&](const char* t) {
                              return keyword == t;
                          }) != std::end(kTransfers);
    if (transfer && answer.compare(0, 2, "15") != 0)
        FailedInPassive(c);
    SendAnswer(c, answer);
}

bool TFtpServer::Virtual(Client* c, const std::string& arg, std::string& vpath) const {
    auto v = ResolveVirtualPath(c->Directory, arg);
    if (!v)
        return false;
    vpath = *v;
    return true;
}

bool TFtpServer::Permitted(Client* c, std::string& path, const ValidateFn& handler) {
    bool allowed = true;
    if (auto h = handler)
        h(this, c, path, allowed);
    return allowed;
}

bool TFtpServer::Admit(Client* c, const std::string& p, std::string& v, const ValidateFn& handler,
                       const char* refusal, const char* noArgument, std::string& a) {
    std::string path;
    if (!(p.empty() || Virtual(c, p, v)) || !Permitted(c, path = v, handler)) {
        a = refusal;
        return false;
    }
    if (p.empty()) {
        a = noArgument;
        return false;
    }
    return true;
}

// ---- login and session -----------------------------------------------------

void TFtpServer::CmdUser(Client* c, const std::string& p, std::string& a) {
    c->UserName = TrimBlanks(p);
    c->FtpState = ftpcWaitingPassword;
    a = Fmt("331 Password required for %s.", c->UserName.c_str());
}

void TFtpServer::CmdPass(Client* c, const std::string& p, std::string& a) {
    if (c->FtpState != ftpcWaitingPassword) {
        a = "503 Login with USER first.";
        return;
    }
    c->PassWord = TrimBlanks(p);
    // Nobody gets in unless the application says who may.
    bool ok = false;
    if (auto h = OnAuthenticate) {
        ok = true;
        h(this, c, c->UserName, c->PassWord, ok);
    }
    if (!ok) {
        c->FtpState = ftpcWaitingUserCode;
        a = "530 Login incorrect.";
        return;
    }
    c->FtpState = ftpcReady;
    c->Directory = "/";
    a = Fmt("230 User %s logged in.", c->UserName.c_str());
}

void TFtpServer::CmdQuit(Client* c, const std::string&, std::string& a) {
    a = "221 Goodbye.";
    CloseWhenSent(c);
}

void TFtpServer::CmdNoop(Client*, const std::string& p, std::string& a) {
    a = Fmt("200 Ok. Parameter was '%s'.", p.c_str());
}

void TFtpServer::CmdStru(Client*, const std::string& p, std::string& a) {
    a = Fmt("200 Ok. STRU parameter '%s' ignored.", p.c_str());
}

void TFtpServer::CmdAbor(Client* c, const std::string&, std::string& a) {
    if (c->data_->State() == wsConnected && c->transfer_) {
        c->AbortingTransfer = true;
        c->AbortingReason = "ABORT requested by client";
        Post(kMsgAbortData, c);
    }
    a = "225 ABOR command successful.";
}

void TFtpServer::CmdOver(Client* c, const std::string&, std::string& a) {
    try {
        c->Shutdown(0);
    } catch (...) {
    }
    a = "500 Command too long";
    CloseWhenSent(c);
}

void TFtpServer::CmdCwd(Client* c, const std::string& p, std::string& a) {
    const std::string old = c->Directory;
    std::string v;
    if (!Virtual(c, TrimBlanks(p), v)) {
        a = "501 CWD failed. Invalid directory name syntax";
        return;
    }
    const std::string dir = AsDirectory(v);
    bool allowed = true;
    if (auto h = OnChangeDirectory)
        h(this, c, dir, allowed);
    if (!allowed) {
        c->Directory = old;
        a = "501 CWD failed. No permission";
        return;
    }
    // Only a folder inside the root can become current: a link leading
    // outside, or a name that is not there, leaves the directory as it was.
    struct stat st {};
    ServedRoot root(c->HomeDir);
    if (root.Stat(v, st) != 0 || !S_ISDIR(st.st_mode)) {
        c->Directory = old;
        a = Fmt("550 CWD Failed to change directory to %s", dir.c_str());
        return;
    }
    c->Directory = dir;
    a = Fmt("250 CWD command successful. \"%s\" is current directory.", dir.c_str());
}

void TFtpServer::CmdCdup(Client* c, const std::string&, std::string& a) {
    CmdCwd(c, "..", a);
}

void TFtpServer::CmdPwd(Client* c, const std::string&, std::string& a) {
    a = Fmt("257 \"%s\" is current directory.", c->Directory.c_str());
}

void TFtpServer::CmdSyst(Client*, const std::string&, std::string& a) {
    a = "215 UNIX Type: L8 Qordex";
}

void TFtpServer::CmdType(Client* c, const std::string& p, std::string& a) {
    const std::string t = Upper(TrimBlanks(p));
    if (t == "A" || t == "A N" || t == "I") {
        c->BinaryMode = t == "I";
        a = Fmt("200 Type set to %s.", p.c_str());
    } else {
        a = Fmt("500 'TYPE %s': command not understood.", p.c_str());
    }
}

void TFtpServer::CmdMode(Client*, const std::string& p, std::string& a) {
    if (p.empty())
        a = "501 Missing argument for MODE";
    else if (p == "S" || p == "s")
        a = "200 MODE Ok";
    else
        a = "502 MODE other than S not supported";
}

void TFtpServer::CmdRest(Client* c, const std::string& p, std::string& a) {
    const auto v = ParseRestOffset(p);
    if (!v) {
        c->RestartPos = 0;
        a = "501 Required byte offset parameter bad or missing.";
        return;
    }
    c->RestartPos = *v;
    a = Fmt("350 REST supported. Ready to resume at byte offset %lld.", static_cast<long long>(*v));
}

void TFtpServer::CmdFeat(Client*, const std::string&, std::string& a) {
    a = "211-Extensions supported:\r\n  SIZE\r\n  REST STREAM\r\n  MDTM\r\n"
        "  MDTM YYYYMMDDHHMMSS[+-TZ] filename\r\n"
        "  MLST size*;type*;perm*;create*;modify*;\r\n  MFMT\r\n  MD5\r\n211 END";
}

// ---- files -----------------------------------------------------------------

void TFtpServer::CmdSize(Client* c, const std::string& p, std::string& a) {
    if (p.empty()) {
        a = "501 Syntax error in parameter.";
        return;
    }
    std::string v;
    std::string path;
    bool allowed = (Virtual(c, p, v)) && Permitted(c, path = v, OnValidateSize);
    struct stat st {};
    const int r = allowed ? ServedRoot(c->HomeDir).Stat(v, st) : 0;
    if (!allowed || EscapesRoot(r)) {
        a = "501 Permission Denied";
    } else if (r == -ENOENT || r == -ENOTDIR) {
        a = "550 Command failed: File not found.";
    } else if (r != 0) {
        a = Fmt("550 Command failed: %s.", ErrorText(r).c_str());
    } else if (!S_ISREG(st.st_mode)) {
        a = "550 Command failed: Not a regular file.";
    } else {
        a = Fmt("213 %lld", static_cast<long long>(st.st_size));
    }
}

void TFtpServer::CmdDele(Client* c, const std::string& p, std::string& a) {
    std::string v;
    if (!Admit(c, p, v, OnValidateDele, "550 Cannot delete.", "501 Syntax error in parameter.", a))
        return;
    ServedRoot root(c->HomeDir);
    std::string leaf;
    Fd dir(root.OpenParent(v, leaf));
    struct stat st {};
    if (EscapesRoot(dir.get())) {
        a = "550 Cannot delete.";
    } else if (!dir.ok() || leaf.empty() ||
               ::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        a = Fmt("550 '%s': no such file or directory.", v.c_str());
    } else if (S_ISDIR(st.st_mode) || ::unlinkat(dir.get(), leaf.c_str(), 0) != 0) {
        a = Fmt("450 File '%s' can't be deleted.", v.c_str());
    } else {
        a = Fmt("250 File '%s' deleted.", v.c_str());
    }
}

void TFtpServer::CmdRnfr(Client* c, const std::string& p, std::string& a) {
    std::string v;
    if (!Admit(c, p, v, OnValidateRnFr, "500 Cannot RNFR.", "501 Syntax error is parameter.", a))
        return;
    struct stat st {};
    const int r = ServedRoot(c->HomeDir).Stat(v, st);
    if (EscapesRoot(r)) {
        a = "500 Cannot RNFR.";
    } else if (r != 0 || v == "/") {
        a = Fmt("550 '%s': no such file or directory.", v.c_str());
    } else {
        c->FromFileName = v;
        c->renameReady_ = true;
        a = "350 File exists, ready for destination name.";
    }
}

void TFtpServer::CmdRnto(Client* c, const std::string& p, std::string& a) {
    std::string v;
    if (!Admit(c, p, v, OnValidateRnTo, "500 Cannot RNTO.", "501 Syntax error in parameter.", a))
        return;
    ServedRoot root(c->HomeDir);
    std::string leaf;
    Fd dir(root.OpenParent(v, leaf));
    struct stat st {};
    if (EscapesRoot(dir.get())) {
        a = "500 Cannot RNTO.";
        return;
    }
    if (dir.ok() && (leaf.empty() || ::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)) {
        a = Fmt("553 '%s': file already exists.", v.c_str());
        return;
    }
    if (root.Stat(c->FromFileName, st) != 0) {
        a = Fmt("550 '%s': no such file or directory.", c->FromFileName.c_str());
        return;
    }
    c->ToFileName = v;
    const int r = root.Rename(c->FromFileName, v);
    if (r == 0)
        a = Fmt("250 File '%s' renamed to '%s'.", c->FromFileName.c_str(), v.c_str());
    else if (EscapesRoot(r))
        a = "500 Cannot RNTO.";
    else
        a = Fmt("450 File '%s' can't be renamed.", c->FromFileName.c_str());
}

void TFtpServer::CmdMkd(Client* c, const std::string& p, std::string& a) {
    std::string v;
    const bool ok = p.empty() || Virtual(c, p, v);
    bool allowed = ok;
    if (allowed)
        if (auto h = OnMakeDirectory)
            h(this, c, v, allowed);
    if (!allowed) {
        a = Fmt("550 '%s': can't create directory.", ok ? v.c_str() : p.substr(0, 64).c_str());
        return;
    }
    if (p.empty()) {
        a = "501 Syntax error in parameter.";
        return;
    }
    ServedRoot root(c->HomeDir);
    std::string leaf;
    Fd dir(root.OpenParent(v, leaf));
    struct stat st {};
    if (dir.ok() && (leaf.empty() || ::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)) {
        a = Fmt("550 '%s': file or directory already exists.", v.c_str());
        return;
    }
    if (!dir.ok() || ::mkdirat(dir.get(), leaf.c_str(), 0755) != 0)
        a = Fmt("550 '%s': can't create directory.", v.c_str());
    else
        a = Fmt("257 '%s': directory created.", v.c_str());
}

void TFtpServer::CmdRmd(Client* c, const std::string& p, std::string& a) {
    std::string v;
    if (!Admit(c, p, v, OnValidateRmd, "500 Cannot remove directory.", "501 Syntax error in parameter.", a))
        return;
    ServedRoot root(c->HomeDir);
    std::string leaf;
    Fd dir(root.OpenParent(v, leaf));
    struct stat st {};
    if (EscapesRoot(dir.get())) {
        a = "500 Cannot remove directory.";
    } else if (!dir.ok() || leaf.empty() ||
               ::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
               !S_ISDIR(st.st_mode)) {
        a = Fmt("550 '%s': no such directory.", v.c_str());
    } else if (::unlinkat(dir.get(), leaf.c_str(), AT_REMOVEDIR) != 0) {
        a = Fmt("550 '%s': can't remove directory.", v.c_str());
    } else {
        a = Fmt("250 '%s': directory removed.", v.c_str());
    }
}

void TFtpServer::CmdMdtm(Client* c, const std::string& p, std::string& a) {
    const bool mfmt = c->LastCommand == "MFMT";
    const MdtmArgument m = ParseMdtmArgument(p);
    if (!m.valid || p.empty() || m.name.empty()) {
        a = "501 Syntax error in MDTM/MFMT parameter.";
        return;
    }
    std::string v;
    if (!Virtual(c, m.name, v)) {
        a = "501 Permission Denied";
        return;
    }
    ServedRoot root(c->HomeDir);
    struct stat st {};
    const int r = root.Stat(v, st);
    if (EscapesRoot(r)) {
        a = "501 Permission Denied";
        return;
    }
    if (r != 0) {
        a = Fmt("550 '%s': no such file or directory.", m.name.c_str());
        return;
    }
    if (m.hasTime) {
        std::string path = v;
        bool allowed = true;
        if (auto h = OnValidateMfmt)
            h(this, c, path, allowed);
        if (!allowed) {
            a = "501 Permission Denied";
            return;
        }
        std::int64_t when = m.utc;
        if (!mfmt && !m.hasZone) {
            // A stamp without a zone is the server's local time.
            std::tm tm{};
            const std::time_t t = std::time_t(m.utc);
            gmtime_r(&t, &tm);
            tm.tm_isdst = -1;
            when = std::int64_t(mktime(&tm));
        }
        if (root.SetModified(v, when) != 0)
            a = "550 MDTM/MFMT cannot change date/time on this server";
        else
            a = mfmt ? "213 Date/time changed OK" : "253 Date/time changed OK";
        return;
    }
    if (mfmt) {
        a = "501 Syntax error in MDTM/MFMT parameter.";
        return;
    }
    a = Fmt("213 %s.%03ld", FormatUtcStamp(st.st_mtim.tv_sec).c_str(),
            long(st.st_mtim.tv_nsec / 1000000));
}

void TFtpServer::CmdMd5(Client* c, const std::string& p, std::string& a) {
    std::string v;
    bool allowed = Virtual(c, p, v);
    std::string path = v, sum;
    if (allowed)
        if (auto h = OnCalculateMd5)
            h(this, c, path, sum, allowed);
    if (!allowed) {
        a = "500 Cannot RETR.";
        return;
    }
    if (!sum.empty()) {
        a = Fmt("251 \"%s\" %s", p.c_str(), Upper(sum).c_str());
        return;
    }
    Fd f(ServedRoot(c->HomeDir).Open(v, O_RDONLY | O_NONBLOCK));
    struct stat st {};
    if (EscapesRoot(f.get())) {
        a = "500 Cannot RETR.";
    } else if (f.get() == -ENOENT || f.get() == -ENOTDIR) {
        a = Fmt("550 '%s': no such file.", p.c_str());
    } else if (!f.ok()) {
        a = Fmt("550 MD5 SUM failed : '%s'.", ErrorText(f.get()).c_str());
    } else if (::fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        a = Fmt("550 MD5 SUM failed : '%s'.", "Not a regular file");
    } else {
        // Read a block per turn of the loop, so that other clients go on.
        c->md5_ = std::make_unique<TFtpCtrlSocket::Md5Job>();
        c->md5_->file = std::move(f);
        c->md5_->params = p;
        md5_init(&c->md5_->ctx);
        Post(kMsgMd5Step, c);
    }
}

void TFtpServer::Md5Step(std::uint64_t id) {
    Client* c = FindClient(id);
    if (!c || !c->md5_)
        return;
    auto& job = *c->md5_;
    std::vector<std::uint8_t> buf(kMd5Block);
    const ssize_t n = ::read(job.file.get(), buf.data(), buf.size());
    if (n > 0) {
        md5_update(&job.ctx, std::size_t(n), buf.data());
        Post(kMsgMd5Step, c);
        return;
    }
    std::string answer;
    if (n < 0) {
        answer = Fmt("550 MD5 SUM failed : '%s'.", ErrorText(-errno).c_str());
    } else {
        std::uint8_t digest[MD5_DIGEST_SIZE];
        md5_digest(&job.ctx, sizeof digest, digest);
        std::string hex;
        static const char* const kHex = "0123456789ABCDEF";
        for (std::uint8_t b : digest) {
            hex.push_back(kHex[b >> 4]);
            hex.push_back(kHex[b & 15]);
        }
        answer = Fmt("251 \"%s\" %s", job.params.c_str(), hex.c_str());
    }
    c->md5_.reset();
    SendAnswer(c, answer);
}

} // namespace qordex::ftp
