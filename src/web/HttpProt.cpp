#include "web/HttpProt.h"

#include "base/Text.h"
#include "mail/MimeUtil.h"
#include "platform/MessageLoop.h"
#include "web/HttpContCod.h"
#include "web/UrlUtil.h"

#include <QCoreApplication>
#include <QTimeZone>
#include <QTimer>
#include <algorithm>

namespace qordex::web {
namespace {

// Body bytes are read from the system in blocks of this size.
constexpr std::size_t kBodyBlockSize = 256 * 1024;
// The request body is sent in blocks of this size.
constexpr int kSendBlockSize = 8193;

// Set once the application was asked to quit: a blocking request then
// aborts instead of waiting for a server that may never answer.
class QuitWatch : public QObject {
public:
    static bool Quitting() {
        static QuitWatch* watch = Install();
        return QCoreApplication::closingDown() || (watch && watch->quitting_);
    }

protected:
    bool eventFilter(QObject* obj, QEvent* event) override {
        if (obj == QCoreApplication::instance() && event->type() == QEvent::Quit)
            quitting_ = true;
        return false;
    }

private:
    static QuitWatch* Install() {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return nullptr;
        auto* w = new QuitWatch;
        w->setParent(app);
        app->installEventFilter(w);
        return w;
    }
    bool quitting_ = false;
};

const char* const kStateNames[] = {
    "httpReady",       "httpNotConnected",  "httpConnected",
    "httpDnsLookup",   "httpDnsLookupDone", "httpWaitingHeader",
    "httpWaitingBody", "httpBodyReceived",  "httpWaitingProxyConnect",
    "httpClosing",     "httpAborting",
};

std::string Extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// "scheme://host:port" with the port written out, for comparing origins.
std::string MakeOrigin(const std::string& proto, const std::string& host, const std::string& port) {
    return AsciiLower(proto.empty() ? "http" : proto) + "://" + AsciiLower(host) + ":" +
           (port.empty() ? "80" : port);
}

// The machine's name for NTLM; empty when the system cannot say.
std::string WorkstationName() {
    try {
        return GetLocalHostName();
    } catch (...) {
        return {};
    }
}

// An "Authorization:" or "Proxy-Authorization:" line for the scheme in use.
void AddAuthorization(std::vector<std::string>& h, const std::string& name, int ntlmState,
                      int basicState, const std::string& user, const std::string& pass,
                      const TNTLM_Msg2_Info& challenge) {
    if (ntlmState == 1)
        h.push_back(name + "NTLM " + NtlmGetMessage1());
    else if (ntlmState == 3)
        h.push_back(name + "NTLM " +
                    NtlmGetMessage3(user, pass, WorkstationName(), challenge.Challenge));
    else if (basicState == 1)
        h.push_back(name + "Basic " + mail::EncodeBase64(user + ":" + pass));
}

} // namespace

const char* HttpStateName(int state) {
    if (state < 0 || state >= int(std::size(kStateNames)))
        return "INVALID STATE";
    return kStateNames[state];
}

std::string HttpDate(const QDateTime& local) {
    static const char days[] = "MonTueWedThuFriSatSun";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const QDateTime utc = local.toUTC();
    const QDate d = utc.date();
    const QTime t = utc.time();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d GMT",
                  days + 3 * (d.dayOfWeek() - 1), d.day(), months + 3 * (d.month() - 1), d.year(),
                  t.hour(), t.minute(), t.second());
    return buf;
}

// ---- construction ----------------------------------------------------------------

THttpCli::THttpCli() {
    window_ = std::make_unique<HiddenWindow>();
    ctrlSocket_ = std::make_unique<TWSocket>();
    contentCodingHnd_ = std::make_unique<THttpContCodHandler>(
        [this] { return rcvdStream_; },
        [this](const char* data, std::size_t n) { Fire(OnDocData, data, int(n)); });
    ctrlSocket_->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) {
        SocketDnsLookupDone(e);
    };
    ctrlSocket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
        SocketSessionConnected(e);
    };
    ctrlSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
        SocketSessionClosed(e);
    };
    ctrlSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) {
        SocketDataAvailable(e);
    };
    ctrlSocket_->OnDataSent = [this](TCustomWSocket*, std::uint16_t e) { SocketDataSent(e); };
    ctrlSocket_->OnSocksConnected = [this](TCustomWSocket*, std::uint16_t e) {
        Fire(OnSocksConnected, e);
    };
    ctrlSocket_->OnSocksError = [this](TCustomWSocket*, int e, const std::string& msg) {
        socksErrorText_ = msg;
        Fire(OnSocksError, e, msg);
    };
}

THttpCli::~THttpCli() {
    alive_.reset();
    // The socket goes first: nothing it raises while closing reaches us.
    ctrlSocket_->OnSessionClosed = nullptr;
    ctrlSocket_->OnDataAvailable = nullptr;
    ctrlSocket_->OnDataSent = nullptr;
    ctrlSocket_->OnSessionConnected = nullptr;
    ctrlSocket_->OnDnsLookupDone = nullptr;
    ctrlSocket_->OnError = nullptr;
    ctrlSocket_->OnSocksConnected = nullptr;
    ctrlSocket_->OnSocksError = nullptr;
    ctrlSocket_.reset();
}

void THttpCli::SetMultiThreaded(bool v) {
    multiThreaded_ = v;
    ctrlSocket_->SetMultiThreaded(v);
}

void THttpCli::SetRequestVer(const std::string& v) {
    if (v != "1.0" && v != "1.1")
        throw EHttpException("Insupported HTTP version", httperrVersion);
    requestVer_ = v;
}

void THttpCli::SetOptions(THttpCliOptions v) {
    options_ = v;
    contentCodingHnd_->SetEnabled(v & httpoEnableContentCoding);
    contentCodingHnd_->SetUseQuality(v & httpoUseQuality);
}

void THttpCli::ParseURL(const std::string& url, std::string& proto, std::string& user,
                        std::string& pass, std::string& host, std::string& port,
                        std::string& path) {
    ParseUrl(url, proto, user, pass, host, port, path);
}

void THttpCli::Trace(THttpTrace level, const std::string& line) {
    if (OnTrace) {
        auto copy = OnTrace;
        copy(this, level, line);
    }
}

bool THttpCli::SetState(THttpState s) {
    state_ = s;
    Trace(THttpTrace::Protocol, std::string("State = ") + HttpStateName(s));
    return Fire(OnStateChange);
}

// ---- starting a request --------------------------------------------------------------

void THttpCli::Get() {
    DoRequestSync(httpGET);
}

void THttpCli::Head() {
    DoRequestSync(httpHEAD);
}

void THttpCli::Post() {
    DoRequestSync(httpPOST);
}

void THttpCli::GetAsync() {
    locationChangeCurCount_ = 0;
    DoRequestAsync(httpGET);
}

void THttpCli::DoRequestSync(THttpRequest rq) {
    locationChangeCurCount_ = 0;
    DoRequestAsync(rq);
    const Life life(*this);
    auto done = [&] { return life.Dead() || state_ == httpReady || QuitWatch::Quitting(); };
    while (!done())
        PumpUntil(done, 1000);
    if (life.Dead())
        return;
    if (state_ != httpReady) {
        Abort(); // the application is ending
        if (life.Dead())
            return;
    }
    if (statusCode_ > 399 && statusCode_ != 401 && statusCode_ != 407)
        throw EHttpException(reasonPhrase_, statusCode_);
}

void THttpCli::CheckTexts() const {
    const std::pair<const char*, const std::string*> texts[] = {
        {"URL", &url_},
        {"Proxy", &proxy_},
        {"ProxyPort", &proxyPort_},
        {"Sender", &sender_},
        {"Agent", &agent_},
        {"Accept", &accept_},
        {"AcceptLanguage", &acceptLanguage_},
        {"Reference", &reference_},
        {"Connection", &connection_},
        {"ProxyConnection", &proxyConnection_},
        {"Cookie", &cookie_},
        {"ContentTypePost", &contentTypePost_},
        {"ContentRangeBegin", &contentRangeBegin_},
        {"ContentRangeEnd", &contentRangeEnd_},
    };
    for (const auto& [name, text] : texts)
        if (HasLineBreak(*text))
            throw EHttpException(std::string("CR, LF or NUL in ") + name, httperrLineBreak);
}

void THttpCli::ClearPerRequest(bool keepDocName, bool keepLocation) {
    rcvdHeader_.clear();
    requestDoneError_ = 0;
    if (!keepDocName)
        docName_.clear();
    statusCode_ = 0;
    reasonPhrase_.clear();
    rcvdCount_ = 0;
    sentCount_ = 0;
    headerLineCount_ = 0;
    headerBytes_ = 0;
    contentLength_ = -1;
    contentType_.clear();
    transferEncoding_.clear();
    contentEncoding_.clear();
    allowedToSend_ = false;
    if (!keepLocation)
        location_ = url_;
    authChallenges_.clear();
    closeReq_ = requestVer_ == "1.0";
    forceClose_ = false;
    headerFlag_ = false;
    answerSeen_ = false;
    responseVer_.clear();
    chunked_ = false;
    docBegun_ = docEnded_ = false;
    rcvdStreamStart_ = -1;
    consumer_ = Consumer::None;
    lineBuf_.Clear();
    chunk_.Reset();
}

void THttpCli::DoRequestAsync(THttpRequest rq) {
    if (rq != httpCLOSE && state_ != httpReady)
        throw EHttpException("HTTP component " + std::string("HttpCli") + " is busy", httperrBusy);
    if ((rq == httpPOST || rq == httpPUT) && !sendStream_)
        throw EHttpException("HTTP component has nothing to post or put", httperrNothingToSend);
    CheckTexts();

    ++serial_;
    completePosted_ = false;
    relocWaitClose_ = false;
    locationFlag_ = false;
    requestType_ = rq;
    ClearPerRequest(false, false);
    curUsername_ = username_;
    curPassword_ = password_;
    curConnection_ = connection_;
    curProxyConnection_ = proxyConnection_;

    // A fragment names a place in the document; it is never sent (RFC 7230 section 5.1).
    const std::string url = url_.substr(0, url_.find('#'));
    const TUrlParts u = ParseUrl(url);
    targetHost_ = u.host;
    targetPort_ = u.port.empty() ? "80" : u.port;
    protocol_ = u.proto.empty() ? "http" : u.proto;
    if (!u.user.empty())
        curUsername_ = u.user;
    if (!u.pass.empty())
        curPassword_ = u.pass;
    if (proxy_.empty()) {
        path_ = u.path;
        hostName_ = u.host;
        port_ = targetPort_;
    } else {
        path_ = (u.proto.empty() ? std::string("http") : u.proto) + "://" + u.host +
                (u.port.empty() ? "" : ":" + u.port) + u.path;
        const TUrlParts p = ParseUrl(proxy_);
        hostName_ = p.host;
        port_ = p.port.empty() ? proxyPort_ : p.port;
    }
    if (u.path.empty() && proxy_.empty())
        path_ = "/";
    else if (!proxy_.empty() && u.path.empty())
        path_ += "/";
    docName_ = DocNameFromPath(u.path);
    credOrigin_ = Origin();

    const bool connected = ctrlSocket_->State() == wsConnected;
    const bool same = connected && !closePending_ && SameConnection();
    PrepareAuthAtStart(same);
    if (options_ & httpoBandwidthControl)
        StartBandwidthControl();

    const Life life(*this);
    if (same) {
        SocketSessionConnected(0);
        return;
    }
    if (connected && !DropConnection())
        return;
    if (life.Dead())
        return;
    connected_ = false;
    if (!SetState(httpNotConnected))
        return;
    Login();
}

std::string THttpCli::SocksRoute() const {
    if (socksServer_.empty())
        return {};
    return socksLevel_ + "|" + socksServer_ + "|" + socksPort_ + "|" + socksUsercode_ + "|" +
           socksPassword_ + "|" + std::to_string(int(socksAuthentication_));
}

bool THttpCli::SameConnection() const {
    return curHost_ == hostName_ && curPort_ == port_ && curProto_ == protocol_ &&
           curSocks_ == SocksRoute();
}

std::string THttpCli::Origin() const {
    return MakeOrigin(protocol_, targetHost_, targetPort_);
}

bool THttpCli::CredentialsApply() const {
    return Origin() == credOrigin_;
}

void THttpCli::PrepareAuthAtStart(bool sameConnection) {
    authNtlmState_ = proxyAuthNtlmState_ = 0;
    authBasicState_ = proxyAuthBasicState_ = 0;
    const bool oldVersion = requestVer_ == "1.0";
    if (!proxy_.empty() && proxyAuth_ != httpAuthNone && !proxyUsername_.empty() &&
        !proxyPassword_.empty()) {
        if (!sameConnection) {
            if (proxyAuth_ == httpAuthNtlm) {
                proxyAuthNtlmState_ = 1;
                if (oldVersion)
                    curProxyConnection_ = "Keep-alive";
            } else {
                proxyAuthBasicState_ = 1;
            }
        } else if (proxyAuth_ == httpAuthNtlm) {
            proxyAuthNtlmState_ = 4;
        } else {
            proxyAuthBasicState_ = 2;
        }
    }
    if (serverAuth_ != httpAuthNone && !curUsername_.empty() && !curPassword_.empty()) {
        if (serverAuth_ == httpAuthNtlm) {
            authNtlmState_ = 1;
            if (oldVersion)
                curConnection_ = "Keep-alive";
        } else {
            authBasicState_ = 1;
        }
    }
}

// Closes a connection that is not to be used again, without its close
// counting as the end of the request.
bool THttpCli::DropConnection() {
    const Life life(*this);
    closedMode_ = ClosedMode::Ignore;
    ctrlSocket_->Abort();
    if (life.Dead())
        return false;
    closedMode_ = ClosedMode::Normal;
    closePending_ = false;
    connected_ = false;
    return true;
}

bool THttpCli::Login() {
    const Life life(*this);
    Trace(THttpTrace::Protocol, "Login " + hostName_);
    closedMode_ = ClosedMode::Normal;
    // With OnSocketError assigned the socket reports failures through it
    // instead of raising; the steps below look at the socket's state too.
    if (OnSocketError)
        ctrlSocket_->OnError = [this](TCustomWSocket*) { Fire(OnSocketError); };
    else
        ctrlSocket_->OnError = nullptr;
    if (ctrlSocket_->State() == wsConnected) {
        if (!closePending_) {
            SocketSessionConnected(0);
            return !life.Dead();
        }
        if (!DropConnection())
            return false;
    }
    if (!SetState(httpDnsLookup))
        return false;
    ctrlSocket_->SetLocalAddr(localAddr_);
    try {
        ctrlSocket_->DnsLookup(hostName_);
    } catch (const std::exception& e) {
        if (life.Dead())
            return false;
        statusCode_ = 404;
        reasonPhrase_ = e.what();
        Complete();
    }
    return !life.Dead();
}

void THttpCli::SocketDnsLookupDone(int error) {
    if (state_ != httpDnsLookup)
        return; // cancelled by Abort, which completes the request itself
    const Life life(*this);
    if (error != 0) {
        requestDoneError_ = error;
        statusCode_ = 404;
        reasonPhrase_ = "can't resolve hostname to IP address";
        SocketSessionClosed(error);
        return;
    }
    const std::string addr = ctrlSocket_->DnsResult();
    if (!SetState(httpDnsLookupDone))
        return;
    ctrlSocket_->SetAddr(addr);
    ctrlSocket_->SetLocalAddr(localAddr_);
    ctrlSocket_->SetPort(port_);
    ctrlSocket_->SetProto("tcp");
    // Every close empties the socket's SOCKS settings: they go in each time.
    ctrlSocket_->SetSocksServer(socksServer_);
    ctrlSocket_->SetSocksPort(socksPort_);
    ctrlSocket_->SetSocksLevel(socksLevel_);
    ctrlSocket_->SetSocksUsercode(socksUsercode_);
    ctrlSocket_->SetSocksPassword(socksPassword_);
    ctrlSocket_->SetSocksAuthentication(socksAuthentication_);
    socksErrorText_.clear();
    curSocks_ = SocksRoute();
    curHost_ = hostName_;
    curPort_ = port_;
    curProto_ = protocol_;
    closePending_ = false;
    if (protocol_ != "http") {
        requestDoneError_ = ctrlSocket_->LastError();
        statusCode_ = 501;
        reasonPhrase_ = "Protocol \"" + protocol_ + "\" not implemented";
        SocketSessionClosed(requestDoneError_);
        return;
    }
    Trace(THttpTrace::Protocol, "connect to " + addr + "/" + port_);
    auto connectFailed = [&] {
        const int err = ctrlSocket_->LastError();
        requestDoneError_ = err;
        statusCode_ = 404;
        reasonPhrase_ =
            "can't connect: " + WSocketErrorText(err) + " (Error #" + std::to_string(err) + ")";
        closedMode_ = ClosedMode::Ignore;
        ctrlSocket_->Close();
        if (life.Dead())
            return;
        closedMode_ = ClosedMode::Normal;
        SocketSessionClosed(err);
    };
    try {
        ctrlSocket_->Connect();
    } catch (const std::exception&) {
        if (!life.Dead())
            connectFailed();
        return;
    }
    if (!life.Dead() && ctrlSocket_->State() == wsClosed)
        connectFailed(); // reported through OnError instead of an exception
}

// ---- sending ----------------------------------------------------------------------

void THttpCli::SocketSessionConnected(int error) {
    const Life life(*this);
    Trace(THttpTrace::Protocol, "SessionConnected");
    if (error != 0) {
        requestDoneError_ = error;
        statusCode_ = 404;
        // A failed SOCKS negotiation says why in its own words.
        reasonPhrase_ = (socksErrorText_.empty() ? WSocketErrorText(error) : socksErrorText_) +
                        " (Error #" + std::to_string(error) + ")";
        Fire(OnSessionConnected);
        return; // the socket closes, and the close completes the request
    }
    locationFlag_ = false;
    connected_ = true;
    if (!SetState(httpConnected) || !Fire(OnSessionConnected))
        return;
    consumer_ = Consumer::Header;
    if (!SetState(httpWaitingHeader))
        return;
    static const char* const methods[] = {"", "GET", "POST", "PUT", "HEAD", ""};
    try {
        if (!SendRequest(methods[requestType_], requestVer_))
            return;
        if ((requestType_ == httpPOST || requestType_ == httpPUT) && authNtlmState_ != 1 &&
            proxyAuthNtlmState_ != 1) {
            if (!Fire(OnSendBegin))
                return;
            allowedToSend_ = true;
            SendBodyBlock();
        }
    } catch (const std::exception&) {
        if (!life.Dead())
            ctrlSocket_->Close();
    }
}

std::string THttpCli::HostHeaderValue() const {
    if (targetPort_.empty() || targetPort_ == "80")
        return targetHost_;
    return targetHost_ + ":" + targetPort_;
}

bool THttpCli::SendRequest(const std::string& method, const std::string& version) {
    const Life life(*this);
    const bool postOrPut = requestType_ == httpPOST || requestType_ == httpPUT;
    std::vector<std::string> h;
    auto add = [&](const char* name, const std::string& value) {
        if (!value.empty())
            h.push_back(std::string(name) + value);
    };
    h.push_back(method + " " + path_ + " HTTP/" + version);
    add("From: ", sender_);
    add("Accept: ", accept_);
    add("Referer: ", reference_);
    add("Connection: ", curConnection_);
    add("Accept-Language: ", acceptLanguage_);
    if (requestType_ != httpHEAD)
        add("Accept-Encoding: ", contentCodingHnd_->HeaderValue());
    if (postOrPut)
        add("Content-Type: ", contentTypePost_);
    add("User-Agent: ", agent_);
    h.push_back("Host: " + HostHeaderValue());
    if (noCache_)
        h.push_back("Pragma: no-cache");
    add("Proxy-Connection: ", curProxyConnection_);
    if (postOrPut) {
        long long length = 0;
        if (authNtlmState_ != 1 && proxyAuthNtlmState_ != 1)
            length = std::max(0LL, sendStream_->Size() - sendStream_->Position());
        h.push_back("Content-Length: " + std::to_string(length));
    }
    if (modifiedSince_.isValid())
        h.push_back("If-Modified-Since: " + HttpDate(modifiedSince_));
    // Server credentials go only to where they were given for.
    if (proxyAuthNtlmState_ != 1 && CredentialsApply())
        AddAuthorization(h, "Authorization: ", authNtlmState_, authBasicState_, curUsername_,
                         curPassword_, ntlmMsg2Info_);
    if (!proxy_.empty())
        AddAuthorization(h, "Proxy-Authorization: ", proxyAuthNtlmState_, proxyAuthBasicState_,
                         proxyUsername_, proxyPassword_, proxyNtlmMsg2Info_);
    add("Cookie: ", cookie_);
    if (!contentRangeBegin_.empty() || !contentRangeEnd_.empty()) {
        h.push_back("Range: bytes=" + contentRangeBegin_ + "-" + contentRangeEnd_);
        contentRangeBegin_.clear();
        contentRangeEnd_.clear();
    }
    acceptRanges_.clear();

    Trace(THttpTrace::Protocol, std::to_string(h.size()) + " header lines to send");
    for (const std::string& line : h)
        Trace(THttpTrace::Protocol, "  " + line);
    if (!Fire(OnBeforeHeaderSend, method, h) || !Fire(OnRequestHeaderBegin))
        return false;
    std::string out;
    for (std::string line : h) {
        if (!Fire(OnCommand, line))
            return false;
        if (!line.empty())
            out += line;
        out += "\r\n";
    }
    if (!Fire(OnRequestHeaderEnd))
        return false;
    out += "\r\n";
    ctrlSocket_->SendText(out);
    if (life.Dead())
        return false;
    Trace(THttpTrace::Protocol, "SendRequest Done");
    return true;
}

bool THttpCli::SendBodyBlock() {
    if (!allowedToSend_ || !sendStream_)
        return true;
    char buf[kSendBlockSize];
    const long long n = sendStream_->Read(buf, sizeof buf);
    if (n <= 0) {
        allowedToSend_ = false;
        return Fire(OnSendEnd);
    }
    sentCount_ += n;
    if (!Fire(OnSendData, static_cast<const char*>(buf), int(n)))
        return false;
    const Life life(*this);
    ctrlSocket_->Send(buf, int(n));
    return !life.Dead();
}

void THttpCli::SocketDataSent(int) {
    if (allowedToSend_)
        SendBodyBlock();
}

// ---- receiving -------------------------------------------------------------------------

void THttpCli::SocketDataAvailable(int) {
    const Life life(*this);
    if (state_ == httpWaitingBody) {
        if (requestType_ == httpHEAD) {
            // An answer to HEAD has no body: whatever comes ends the connection.
            char junk[1024];
            ctrlSocket_->Receive(junk, int(sizeof junk));
            if (life.Dead())
                return;
            lineBuf_.Clear();
            ctrlSocket_->Abort();
            return;
        }
        if (lineBuf_.Size() == 0) {
            ReceiveBody();
            return;
        }
    }
    int n;
    if (!lineBuf_.Full()) {
        char tmp[kHttpLineBufferSize];
        n = ctrlSocket_->Receive(tmp, int(lineBuf_.Room()));
        if (n > 0)
            lineBuf_.Append(tmp, std::size_t(n));
    } else {
        char scratch[kHttpLongLineScratch];
        n = ctrlSocket_->Receive(scratch, int(sizeof scratch));
        if (n > 0)
            lineBuf_.CutOverlong(scratch, std::size_t(n));
    }
    if (life.Dead() || n <= 0)
        return;
    CountReceived(n);
    ProcessHeld();
}

bool THttpCli::ProcessHeld() {
    const Life life(*this);
    std::string line, raw;
    while (state_ != httpWaitingBody) {
        if (!lineBuf_.NextLine(line, &raw))
            return true;
        lastResponse_ = line;
        Trace(THttpTrace::Detail, ">|" + line + "|");
        if (life.Dead())
            return false;
        if (state_ == httpWaitingHeader) {
            if (consumer_ == Consumer::Header) {
                if (!HeaderLine(line, raw))
                    return false;
            } else {
                Complete();
            }
        } else if (!Fire(OnDataPush, std::uint16_t(0))) {
            return false;
        }
    }
    if (requestType_ == httpHEAD) {
        lineBuf_.Clear();
        return true;
    }
    return DeliverHeldToBody();
}

bool THttpCli::HeaderLine(const std::string& line, const std::string& raw) {
    const Life life(*this);
    if (!headerFlag_) {
        // The first line of an answer.
        answerSeen_ = true;
        headerFlag_ = true;
        if (!Fire(OnHeaderBegin))
            return false;
        if (StartsWithIgnoreCase(line, "<HTML>")) {
            // An answer without a header: the line is the document's start.
            if (contentType_.empty())
                contentType_ = "text/html";
            if (!SetState(httpWaitingBody))
                return false;
            consumer_ = Consumer::Body;
            headerFlag_ = false;
            if (!Fire(OnHeaderEnd))
                return false;
            std::size_t used = 0;
            return BodyData(raw.data(), raw.size(), used) && AfterBody();
        }
    }
    headerBytes_ += raw.size();
    if (headerBytes_ > kHttpMaxHeaderBytes) {
        Fail("Answer header too long");
        return false;
    }
    if (line.empty())
        return HeaderEnd();

    rcvdHeader_.push_back(line);
    if (headerLineCount_++ == 0) {
        const auto status = ParseStatusLine(line);
        if (!status)
            return Fire(OnDataPush2) && Fire(OnHeaderData);
        responseVer_ = status->version;
        closeReq_ = !(requestVer_ == "1.1" && responseVer_ == "1.1");
        statusCode_ = status->code;
        reasonPhrase_ = status->reason;
        Trace(THttpTrace::Detail, std::string("FCloseReq=") + (closeReq_ ? "TRUE" : "FALSE"));
    } else if (const auto field = ParseHeaderLine(line)) {
        if (!HeaderField(*field))
            return false;
    }
    return Fire(OnHeaderData);
}

bool THttpCli::HeaderField(const THttpHeaderField& f) {
    const std::string& v = f.value;
    if (f.name == "location") {
        HandleLocation(v);
    } else if (f.name == "content-length") {
        const long long n = ParseContentLength(v);
        if (n < 0 || (contentLength_ >= 0 && n != contentLength_))
            forceClose_ = true; // unknown or contradictory: the close ends the body
        contentLength_ = contentLength_ >= 0 && n != contentLength_ ? -1 : n;
    } else if (f.name == "transfer-encoding") {
        transferEncoding_ = AsciiLower(v);
    } else if (f.name == "content-range") {
        const std::size_t dash = v.find('-');
        const std::size_t slash = v.find('/');
        contentRangeBegin_ = v.size() > 6 && dash != std::string::npos && dash >= 6
                                 ? v.substr(6, dash - 6)
                                 : std::string();
        contentRangeEnd_ = dash != std::string::npos && slash != std::string::npos && slash > dash
                               ? v.substr(dash + 1, slash - dash - 1)
                               : std::string();
    } else if (f.name == "accept-ranges") {
        acceptRanges_ = v;
    } else if (f.name == "content-type") {
        contentType_ = AsciiLower(v);
    } else if (f.name == "www-authenticate" || f.name == "proxy-authenticate") {
        authChallenges_.push_back(v);
    } else if (f.name == "set-cookie") {
        bool accept = true;
        return Fire(OnCookie, v, accept);
    } else if (f.name == "connection" || f.name == "proxy-connection") {
        const std::string c = AsciiLower(Trim(v));
        if (c == "close")
            closeReq_ = true;
        else if (c == "keep-alive")
            closeReq_ = false;
    } else if (f.name == "content-encoding") {
        contentEncoding_ = v;
    }
    return true;
}

bool THttpCli::HeaderEnd() {
    const Life life(*this);
    Trace(THttpTrace::Protocol, "End of header");
    if (responseVer_ == "1.1" && statusCode_ >= 100 && statusCode_ < 200 && statusCode_ != 101) {
        // An interim answer (100 Continue): the real one follows.
        rcvdHeader_.clear();
        headerLineCount_ = 0;
        authChallenges_.clear();
        contentLength_ = -1;
        return true;
    }
    headerFlag_ = false;
    if (!Fire(OnHeaderEnd))
        return false;
    if (state_ == httpReady) {
        lineBuf_.Clear();
        return true;
    }
    chunked_ = IsChunkedCoding(transferEncoding_);
    if (chunked_ && contentLength_ >= 0) {
        // RFC 7230 section 3.3.3: the chunks decide, and such an answer
        // leaves the connection in doubt.
        contentLength_ = -1;
        forceClose_ = true;
    }
    const int s = statusCode_;
    const bool neverBody = s < 200 || s == 204 || s == 304 || requestType_ == httpHEAD;
    const bool lengthless = contentLength_ == -1 && !chunked_;
    const bool noBody = neverBody || (contentLength_ == 0 && !chunked_) ||
                        (lengthless && (s == 301 || s == 302 || s == 401 || s == 407));
    if (lengthless && !neverBody)
        forceClose_ = true; // only the close could tell where this body ends
    closeReq_ = closeReq_ || forceClose_;

    if (noBody) {
        consumer_ = Consumer::None;
        if (!closeReq_) {
            if (locationFlag_)
                return BeginRelocation(true);
            Complete();
            return true;
        }
        if (locationFlag_)
            return BeginRelocation(true);
        if (requestType_ == httpHEAD) {
            lineBuf_.Clear();
            if (!SetState(httpWaitingBody))
                return false;
        }
        // The close completes the request.
        closePending_ = true;
        ctrlSocket_->CloseLater();
        return true;
    }
    const std::string ext = AsciiLower(Extension(docName_));
    if ((ext.empty() || ext == "exe") && contentType_ == "text/html") {
        const std::size_t dot = docName_.rfind('.');
        docName_ = (dot == std::string::npos ? docName_ : docName_.substr(0, dot)) + ".htm";
    }
    consumer_ = Consumer::Body;
    return SetState(httpWaitingBody);
}

void THttpCli::HandleLocation(const std::string& value) {
    if (requestType_ == httpPUT) {
        location_ = value;
        return;
    }
    if (!followRelocation_)
        return;
    if (HasLineBreak(value)) {
        Trace(THttpTrace::Protocol, "Location refused: CR, LF or NUL in it");
        return;
    }
    const std::string hostPort = HostHeaderValue();
    const bool viaProxy = !proxy_.empty();
    if (!value.empty() && value[0] == '/') {
        if (!viaProxy) {
            path_ = value;
            location_ = "http://" + hostPort + value;
        } else {
            const TUrlParts cur = ParseUrl(path_);
            const std::string scheme = cur.proto.empty() ? "http" : cur.proto;
            location_ =
                scheme + "://" + cur.host + (cur.port.empty() ? "" : ":" + cur.port) + value;
            path_ = location_;
            if (!cur.user.empty() && !cur.pass.empty()) {
                curUsername_ = cur.user;
                curPassword_ = cur.pass;
            }
        }
    } else if (!StartsWithIgnoreCase(value, "http://") &&
               !StartsWithIgnoreCase(value, "https://")) {
        const std::string base = path_.substr(0, path_.find('?'));
        const std::size_t cut = base.find_last_of("/:");
        path_ = (cut == std::string::npos ? std::string() : base.substr(0, cut + 1)) + value;
        location_ = viaProxy ? path_ : "http://" + hostPort + path_;
    } else {
        const TUrlParts u = ParseUrl(value);
        protocol_ = u.proto.empty() ? "http" : u.proto;
        targetHost_ = u.host;
        targetPort_ = u.port.empty() ? "80" : u.port;
        if (!u.user.empty() && !u.pass.empty()) {
            curUsername_ = u.user;
            curPassword_ = u.pass;
            credOrigin_ = Origin();
        }
        const std::string path = u.path.empty() ? "/" : u.path;
        location_ = protocol_ + "://" + HostHeaderValue() + path;
        if (viaProxy) {
            path_ = location_;
        } else {
            path_ = path;
            hostName_ = targetHost_;
            port_ = targetPort_;
        }
    }
    locationFlag_ = true;
}

// ---- the body -------------------------------------------------------------------------------

bool THttpCli::BodyComplete() const {
    if (chunked_)
        return chunk_.State() == THttpChunkDecoder::Step::Done;
    return contentLength_ >= 0 && rcvdCount_ >= contentLength_;
}

bool THttpCli::ReceiveBody() {
    const Life life(*this);
    std::size_t want = kBodyBlockSize;
    if (!chunked_ && contentLength_ >= 0)
        want = std::size_t(std::min<long long>(want, contentLength_ - rcvdCount_));
    if (want == 0)
        return true;
    if (bodyBuf_.size() < kBodyBlockSize)
        bodyBuf_.resize(kBodyBlockSize);
    const int n = ctrlSocket_->Receive(bodyBuf_.data(), int(want));
    if (life.Dead() || n <= 0)
        return !life.Dead();
    CountReceived(n);
    std::size_t used = 0;
    if (!BodyData(bodyBuf_.data(), std::size_t(n), used))
        return false;
    if (used < std::size_t(n))
        lineBuf_.Append(bodyBuf_.data() + used, std::size_t(n) - used);
    return AfterBody();
}

bool THttpCli::DeliverHeldToBody() {
    if (lineBuf_.Size() == 0 || consumer_ != Consumer::Body)
        return true;
    // The held bytes move out first: a handler may start reading again.
    std::string held(lineBuf_.Held());
    lineBuf_.Clear();
    std::size_t used = 0;
    if (!BodyData(held.data(), held.size(), used))
        return false;
    if (used < held.size())
        lineBuf_.Append(held.data() + used, held.size() - used);
    return AfterBody();
}

bool THttpCli::BeginBody() {
    docBegun_ = true;
    chunk_.Reset();
    if (!Fire(OnDocBegin))
        return false;
    contentCodingHnd_->Prepare(contentEncoding_);
    rcvdStreamStart_ = rcvdStream_ ? rcvdStream_->Size() : -1;
    return true;
}

bool THttpCli::BodyData(const char* data, std::size_t n, std::size_t& used) {
    const Life life(*this);
    used = 0;
    if (consumer_ != Consumer::Body)
        return true;
    if (!docBegun_ && !BeginBody())
        return false;
    Trace(THttpTrace::Detail, "GetBodyLineNext begin");
    Trace(THttpTrace::Detail, "GetBodyLineNext FBodyDataLen=" + std::to_string(n));
    auto deliver = [&](const char* p, std::size_t len) {
        rcvdCount_ += static_cast<long long>(len);
        contentCodingHnd_->Write(p, len);
    };
    if (!chunked_) {
        std::size_t take = n;
        if (contentLength_ >= 0)
            take = std::size_t(std::min<long long>(take, contentLength_ - rcvdCount_));
        deliver(data, take);
        if (life.Dead())
            return false;
        used = take;
    } else {
        while (used < n && chunk_.State() != THttpChunkDecoder::Step::Done &&
               chunk_.State() != THttpChunkDecoder::Step::Failed) {
            used += chunk_.Feed(data + used, n - used, deliver, [&](unsigned long long size) {
                Trace(THttpTrace::Detail, "ChunkLength = " + std::to_string(size));
            });
            if (life.Dead())
                return false;
        }
        if (chunk_.State() == THttpChunkDecoder::Step::Failed) {
            Fail("Invalid chunk size in answer");
            return false;
        }
    }
    if (!contentCodingHnd_->StreamOk()) {
        Fail("Cannot write the document");
        return false;
    }
    Trace(THttpTrace::Detail, "GetBodyLineNext end");
    if (!BodyComplete())
        return true;
    Trace(THttpTrace::Protocol, chunked_ ? "httpChunkDone, end of document" : "End of document");
    return EndBody();
}

bool THttpCli::EndBody() {
    const Life life(*this);
    consumer_ = Consumer::None;
    StopBandwidthControl();
    if (!SetState(httpBodyReceived))
        return false;
    contentCodingHnd_->Complete();
    docEnded_ = true;
    if (!Fire(OnDocEnd))
        return false;
    if (closeReq_) {
        closePending_ = true;
        ctrlSocket_->CloseLater();
    }
    return !life.Dead();
}

bool THttpCli::AfterBody() {
    if (consumer_ == Consumer::Body)
        return true; // more body to come
    if (state_ != httpBodyReceived)
        return true;
    if (locationFlag_)
        return BeginRelocation(ctrlSocket_->State() != wsClosed);
    Complete();
    return true;
}

// An answer that breaks the protocol: the request fails and the connection goes.
void THttpCli::Fail(const std::string& reason) {
    const Life life(*this);
    Trace(THttpTrace::Protocol, reason);
    statusCode_ = kHttpStatusBadAnswer;
    reasonPhrase_ = reason;
    requestDoneError_ = httperrBadAnswer;
    locationFlag_ = false;
    consumer_ = Consumer::None;
    headerFlag_ = false;
    StopBandwidthControl();
    if (docBegun_ && !docEnded_) {
        docEnded_ = true;
        if (!Fire(OnDocEnd))
            return;
    }
    lineBuf_.Clear();
    Complete();
    if (!DropConnection())
        return;
    (void)life;
}

// ---- the connection closes ---------------------------------------------------------------

void THttpCli::SocketSessionClosed(int error) {
    if (closedMode_ == ClosedMode::Ignore)
        return;
    const Life life(*this);
    Trace(THttpTrace::Protocol, "SessionClosed Error: " + std::to_string(error));
    if (error != 0 && state_ != httpAborting)
        requestDoneError_ = error;
    connected_ = false;
    closePending_ = false;
    StopBandwidthControl();

    if (state_ == httpAborting) {
        if (docBegun_ && !docEnded_) {
            docEnded_ = true;
            if (!Fire(OnDocEnd))
                return;
        }
        Fire(OnSessionClosed);
        return; // Abort completes the request
    }
    if (relocWaitClose_) {
        relocWaitClose_ = false;
        ContinueRelocation();
        return;
    }
    if (headerFlag_) {
        headerFlag_ = false;
        if (!Fire(OnHeaderEnd))
            return;
        if (locationFlag_) {
            BeginRelocation(false);
            return;
        }
        Complete();
        return;
    }
    if (docBegun_ && !docEnded_) {
        if (consumer_ == Consumer::Body && (chunked_ || contentLength_ >= 0) && !BodyComplete()) {
            // The connection ended inside the document: it is incomplete.
            statusCode_ = kHttpStatusBadAnswer;
            reasonPhrase_ = "Connection closed before the end of the document";
            requestDoneError_ = httperrBadAnswer;
            locationFlag_ = false;
        }
        consumer_ = Consumer::None;
        docEnded_ = true;
        contentCodingHnd_->Complete();
        if (!Fire(OnDocEnd))
            return;
    }
    if (locationFlag_ && state_ != httpReady && !completePosted_) {
        BeginRelocation(false);
        return;
    }
    if (!Fire(OnSessionClosed))
        return;
    if (state_ != httpReady && !completePosted_) {
        if (!answerSeen_ && statusCode_ == 0 && requestDoneError_ == 0) {
            statusCode_ = kHttpStatusBadAnswer;
            reasonPhrase_ = "Connection closed without an answer";
            requestDoneError_ = httperrBadAnswer;
        }
        Complete();
    }
}

// ---- completion ------------------------------------------------------------------------------

void THttpCli::Complete() {
    if (completePosted_)
        return;
    completePosted_ = true;
    const unsigned serial = serial_;
    window_->PostCall([this, serial] { OnSetReady(serial); });
}

void THttpCli::PostRequestDone(THttpRequest rq, int error) {
    window_->PostCall([this, rq, error] {
        Trace(THttpTrace::Protocol, "RequestDone");
        try {
            Fire(OnRequestDone, rq, std::uint16_t(error));
        } catch (const std::exception& e) {
            // Nothing may cross the event loop; the handler's fault ends here.
            Trace(THttpTrace::Protocol, std::string("OnRequestDone raised: ") + e.what());
        }
    });
}

void THttpCli::PostLoginAgain() {
    const unsigned serial = serial_;
    window_->PostCall([this, serial] { OnLoginAgain(serial); });
}

void THttpCli::OnLoginAgain(unsigned serial) {
    if (serial != serial_ || doneSerial_ == serial || state_ == httpReady)
        return;
    completePosted_ = false;
    try {
        Login();
    } catch (const std::exception& e) {
        Trace(THttpTrace::Protocol, std::string("Login raised: ") + e.what());
    }
}

void THttpCli::OnSetReady(unsigned serial) {
    if (serial != serial_ || doneSerial_ == serial || state_ == httpReady)
        return;
    const Life life(*this);
    const int s = statusCode_;
    // The authentication states follow the answer (who asked again, who is done).
    if (authNtlmState_ == 3 && s != 401 && s != 407)
        authNtlmState_ = 4;
    else if (authNtlmState_ == 4 && s == 401)
        authNtlmState_ = 0;
    if (proxyAuthNtlmState_ == 3 && s != 407)
        proxyAuthNtlmState_ = 4;
    else if (proxyAuthNtlmState_ == 4 && s == 407)
        proxyAuthNtlmState_ = 0;
    if (authBasicState_ == 1 && s != 401 && s != 407)
        authBasicState_ = 2;
    else if (authBasicState_ == 2 && s == 401)
        authBasicState_ = 0;
    if (proxyAuthBasicState_ == 1 && s != 407)
        proxyAuthBasicState_ = 2;
    else if (proxyAuthBasicState_ == 2 && s == 407)
        proxyAuthBasicState_ = 0;

    bool discard = false;
    bool retry = false;
    try {
        retry = PrepareNTLMAuth(discard);
        if (life.Dead())
            return;
        if (!retry)
            retry = PrepareBasicAuth(discard);
    } catch (const std::exception& e) {
        Trace(THttpTrace::Protocol, e.what());
        retry = false;
    }
    if (life.Dead())
        return;
    if (retry) {
        if (s == 401) {
            if (closeReq_) {
                if (proxyAuthNtlmState_ == 4)
                    proxyAuthNtlmState_ = 1;
                else if (proxyAuthBasicState_ == 2)
                    proxyAuthBasicState_ = 1;
            } else if (proxyAuthNtlmState_ != 0 && proxyAuthNtlmState_ != 4) {
                proxyAuthNtlmState_ = 0;
            } else if (proxyAuthBasicState_ != 0 && proxyAuthBasicState_ != 2) {
                proxyAuthBasicState_ = 0;
            }
        }
        // The step that started the retry has posted the new log-in.
        if (discard) {
            RewindStreams();
            ClearPerRequest(true, true);
        }
        return;
    }
    if (!SetState(httpReady))
        return;
    PostRequestDone(requestType_, requestDoneError_);
}

void THttpCli::RewindStreams() {
    if (rcvdStream_ && rcvdStreamStart_ >= 0) {
        rcvdStream_->SetSize(rcvdStreamStart_);
        rcvdStream_->Seek(rcvdStreamStart_);
    }
    if (sendStream_ && sentCount_ > 0)
        sendStream_->Seek(std::max(0LL, sendStream_->Position() - sentCount_));
    lineBuf_.Clear();
}

// ---- authentication ---------------------------------------------------------------------------

bool THttpCli::PrepareNTLMAuth(bool& discard) {
    const int s = statusCode_;
    bool retry = false;
    const bool refused =
        (options_ & httpoNoNTLMAuth) &&
        ((s == 401 && serverAuth_ != httpAuthNtlm) || (s == 407 && proxyAuth_ != httpAuthNtlm));
    auto offered = [&] {
        return std::any_of(authChallenges_.rbegin(), authChallenges_.rend(),
                           [](const std::string& c) { return StartsWithIgnoreCase(c, "NTLM"); });
    };
    if (!refused) {
        if (s == 401 && !authChallenges_.empty() && authBasicState_ == 0 && !curUsername_.empty() &&
            !curPassword_.empty() && CredentialsApply() && offered()) {
            retry = NtlmStep(false);
            discard = authNtlmState_ == 1 || authNtlmState_ == 3;
        } else if (s == 407 && !proxy_.empty() && proxyAuthBasicState_ == 0 &&
                   !proxyUsername_.empty() && !proxyPassword_.empty() && offered()) {
            retry = NtlmStep(true);
            discard = proxyAuthNtlmState_ == 1 || proxyAuthNtlmState_ == 3;
        }
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "PrepareNTLMAuth end, FStatusCode = %d FProxyAuthNTLMState=%d "
                  "FAuthNTLMState=%d",
                  s, proxyAuthNtlmState_, authNtlmState_);
    Trace(THttpTrace::Detail, line);
    return retry;
}

bool THttpCli::NtlmStep(bool proxy) {
    int& state = proxy ? proxyAuthNtlmState_ : authNtlmState_;
    switch (state) {
    case 0:
        Trace(THttpTrace::Protocol,
              proxy ? "Starting Proxy NTLM authentication" : "Starting NTLM authentication");
        state = 1;
        (proxy ? proxyAuthBasicState_ : authBasicState_) = 0;
        // NTLM needs its three requests on one connection.
        if (requestVer_ == "1.0" || responseVer_ != "1.1")
            (proxy ? curProxyConnection_ : curConnection_) = "Keep-alive";
        PostLoginAgain();
        return true;
    case 1: {
        auto it =
            std::find_if(authChallenges_.rbegin(), authChallenges_.rend(),
                         [](const std::string& c) { return StartsWithIgnoreCase(c, "NTLM"); });
        if (it == authChallenges_.rend())
            return false;
        const std::string text = it->size() > 5 ? it->substr(5) : std::string();
        (proxy ? proxyNtlmMsg2Info_ : ntlmMsg2Info_) = NtlmGetMessage2(TrimView(text));
        state = 3;
        PostLoginAgain();
        return true;
    }
    case 3:
        authChallenges_.clear();
        state = 0;
        return false; // the 401 or 407 stands as the result
    default:
        throw EHttpException(proxy ? "Unexpected ProxyAuthNTLMState" : "Unexpected AuthNTLMState",
                             httperrAuthState);
    }
}

bool THttpCli::PrepareBasicAuth(bool& discard) {
    const int s = statusCode_;
    const bool refused =
        (options_ & httpoNoBasicAuth) &&
        ((s == 401 && serverAuth_ != httpAuthBasic) || (s == 407 && proxyAuth_ != httpAuthBasic));
    if (refused)
        return false;
    auto offered = [&] {
        return std::any_of(authChallenges_.rbegin(), authChallenges_.rend(),
                           [](const std::string& c) { return StartsWithIgnoreCase(c, "Basic"); });
    };
    if (s == 401 && authNtlmState_ == 0 && !curUsername_.empty() && !curPassword_.empty() &&
        CredentialsApply() && offered()) {
        const bool retry = BasicStep(false);
        discard = authBasicState_ == 1;
        return retry;
    }
    if (s == 407 && !proxy_.empty() && proxyAuthNtlmState_ == 0 && !proxyUsername_.empty() &&
        !proxyPassword_.empty() && offered()) {
        const bool retry = BasicStep(true);
        discard = proxyAuthBasicState_ == 1;
        return retry;
    }
    return false;
}

bool THttpCli::BasicStep(bool proxy) {
    int& state = proxy ? proxyAuthBasicState_ : authBasicState_;
    switch (state) {
    case 0:
        Trace(THttpTrace::Protocol,
              proxy ? "Starting Proxy Basic authentication" : "Starting Basic authentication");
        state = 1;
        (proxy ? proxyAuthNtlmState_ : authNtlmState_) = 0;
        PostLoginAgain();
        return true;
    case 1:
        authChallenges_.clear();
        state = 0;
        return false; // refused again: the answer stands
    default:
        throw EHttpException(proxy ? "Unexpected ProxyAuthBasicState" : "Unexpected AuthBasicState",
                             httperrAuthState);
    }
}

// ---- relocation
// ------------------------------------------------------------------------------------

bool THttpCli::BeginRelocation(bool connectionOpen) {
    const Life life(*this);
    ++locationChangeCurCount_;
    if (locationChangeCurCount_ > locationChangeMaxCount_) {
        bool allow = false;
        if (!Fire(OnLocationChangeExceeded, locationChangeCurCount_, allow))
            return false;
        if (!allow) {
            locationFlag_ = false;
            Complete();
            return true;
        }
    }
    const bool same = connectionOpen && !closeReq_ && !closePending_ &&
                      ctrlSocket_->State() == wsConnected && SameConnection();
    if (!same) {
        if (connectionOpen && ctrlSocket_->State() != wsClosed) {
            // The relocation goes on when the close is reported.
            relocWaitClose_ = true;
            if (!closePending_) {
                closePending_ = true;
                ctrlSocket_->CloseLater();
            }
            return true;
        }
        return ContinueRelocation();
    }
    if (!Fire(OnLocationChange))
        return false;
    ClearPerRequest(true, true);
    docName_ = DocNameFromPath(ParseUrl(path_).path);
    if (requestType_ == httpPOST)
        requestType_ = httpGET;
    RewindStreams();
    locationFlag_ = false;
    PostLoginAgain();
    return true;
}

bool THttpCli::ContinueRelocation() {
    const std::size_t hash = path_.find('#');
    if (hash != std::string::npos)
        path_.resize(hash);
    const std::size_t lhash = location_.find('#');
    if (lhash != std::string::npos)
        location_.resize(lhash);
    connected_ = false;
    locationFlag_ = false;
    if (requestType_ == httpPOST)
        requestType_ = httpGET;
    if (!Fire(OnLocationChange))
        return false;
    ClearPerRequest(true, true);
    docName_ = DocNameFromPath(ParseUrl(path_).path);
    RewindStreams();
    PostLoginAgain();
    return true;
}

// ---- abort
// -------------------------------------------------------------------------------------------

void THttpCli::Abort() {
    const Life life(*this);
    if (state_ != httpReady) {
        const bool lookup = state_ == httpDnsLookup;
        if (!SetState(httpAborting))
            return;
        relocWaitClose_ = false;
        if (lookup) {
            try {
                ctrlSocket_->CancelLookup();
            } catch (...) {
            }
            if (life.Dead())
                return;
        }
        statusCode_ = 404;
        reasonPhrase_ = "Connection aborted on request";
        requestDoneError_ = httperrAborted;
        StopBandwidthControl();
        if (lookup)
            SocketSessionClosed(0);
        else
            ctrlSocket_->Close();
        if (life.Dead())
            return;
        closePending_ = false;
        doneSerial_ = serial_;
        const THttpRequest rq = requestType_;
        if (!SetState(httpReady))
            return;
        PostRequestDone(rq, httperrAborted);
        return;
    }
    if (ctrlSocket_->State() != wsClosed) {
        closedMode_ = ClosedMode::Ignore;
        ctrlSocket_->Abort();
        if (life.Dead())
            return;
        closedMode_ = ClosedMode::Normal;
    }
    closePending_ = false;
    statusCode_ = 200;
    reasonPhrase_ = "OK";
    requestDoneError_ = 0;
    if (!SetState(httpReady))
        return;
    // Posted, never raised inside the call (a handler may start a request).
    PostRequestDone(requestType_, 0);
}

// ---- bandwidth control --------------------------------------------------------------------------

void THttpCli::StartBandwidthControl() {
    if (!bwTimer_) {
        bwTimer_ = std::make_unique<QTimer>();
        bwTimer_->callOnTimeout([this] { BandwidthTick(); });
    }
    bwTimer_->setInterval(std::max(1, bandwidthSampling_));
    bwMaxCount_ = static_cast<long long>(bandwidthLimit_) * bandwidthSampling_ / 1000;
    bwCount_ = 0;
    bwPaused_ = false;
    ctrlSocket_->SetComponentOptions(ctrlSocket_->ComponentOptions() | wsoNoReceiveLoop);
    bwTimer_->start();
}

void THttpCli::StopBandwidthControl() {
    if (!bwTimer_)
        return;
    bwTimer_->stop();
    if (bwPaused_) {
        bwPaused_ = false;
        ctrlSocket_->Resume();
    }
}

void THttpCli::CountReceived(int n) {
    if (!bwTimer_ || !bwTimer_->isActive())
        return;
    bwCount_ += n;
    if (bwCount_ > bwMaxCount_ && !bwPaused_) {
        bwPaused_ = true;
        ctrlSocket_->Pause();
    }
}

void THttpCli::BandwidthTick() {
    if (!bwPaused_)
        return;
    bwCount_ = std::max(0LL, bwCount_ - bwMaxCount_);
    bwPaused_ = false;
    ctrlSocket_->Resume();
}

} // namespace qordex::web
