#include "web/HttpSrv.h"

#include "base/Text.h"
#include "mail/MimeUtil.h"

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <random>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::web {

using mail::DecodeBase64;
using mail::EncodeBase64;

namespace {

// The request-done notice a connection posts to itself.
constexpr unsigned WM_HTTP_REQUEST_DONE = WM_USER + 40;

// Bytes read from the document per round of the sending loop: large enough
// that a big file costs few rounds of the message loop.
constexpr long long kSendBlock = 256 * 1024;
// Bytes taken from the socket per read while a head arrives.
constexpr int kReadChunk = 16 * 1024;

const char* const kCrLf = "\r\n";

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string RealPath(const std::string& path) {
    char* r = ::realpath(path.c_str(), nullptr);
    if (!r)
        return {};
    std::string out(r);
    std::free(r);
    return out;
}

// The nonce's date: UTC, digits only, so that it reads back the same on
// every machine whatever its language.
std::string NonceDate(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool ParseNonceDate(const std::string& text, std::time_t& t) {
    std::tm tm{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
        return false;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    t = timegm(&tm);
    return t != std::time_t(-1);
}

std::string RandomAlnum(std::size_t n) {
    static const char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> pick(0, 61);
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += chars[pick(rng)];
    return out;
}

// A kept-open server must not stop accepting at the default soft limit of
// descriptors when the hard limit allows more.
void RaiseDescriptorLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

} // namespace

// ---- THttpRangeStream ------------------------------------------------------------

THttpRangeStream::THttpRangeStream(std::unique_ptr<TStream> doc, const std::string& contentType,
                                   long long completeSize,
                                   const std::vector<TResolvedRange>& ranges)
    : doc_(std::move(doc)) {
    const bool multi = ranges.size() > 1;
    bool first = true;
    for (const TResolvedRange& r : ranges) {
        if (multi) {
            AddText(std::string(first ? "" : kCrLf) + "--" + kRangeBoundary + kCrLf +
                    "Content-Type: " + contentType + kCrLf + "Content-Range: bytes " +
                    ContentRangeText(r, completeSize) + kCrLf + kCrLf);
        }
        first = false;
        AddPart(doc_.get(), r.start, r.end);
    }
    if (multi)
        AddText(std::string(kCrLf) + "--" + kRangeBoundary + "--" + kCrLf + kCrLf);
}

void THttpRangeStream::AddText(const std::string& text) {
    texts_.push_back(std::make_unique<TMemoryStream>(text));
    AddPart(texts_.back().get(), 0, static_cast<long long>(text.size()));
}

void THttpRangeStream::AddPart(TStream* source, long long start, long long end) {
    parts_.push_back({source, start, size_, end - start});
    size_ += end - start;
}

long long THttpRangeStream::Read(void* buffer, long long count) {
    if (pos_ < 0 || pos_ >= size_ || count <= 0)
        return 0;
    long long done = 0;
    auto* out = static_cast<char*>(buffer);
    for (const Part& p : parts_) {
        if (done >= count)
            break;
        if (p.offset + p.size <= pos_)
            continue;
        const long long inPart = pos_ - p.offset;
        const long long n = std::min(count - done, p.size - inPart);
        if (p.source->Seek(p.start + inPart) < 0)
            break;
        long long got = 0;
        while (got < n) {
            const long long r = p.source->Read(out + done + got, n - got);
            if (r <= 0)
                break;
            got += r;
        }
        done += got;
        pos_ += got;
        if (got < n)
            break;
    }
    return done;
}

long long THttpRangeStream::Write(const void*, long long) {
    throw std::runtime_error("Stream is readonly");
}

long long THttpRangeStream::Seek(long long offset) {
    if (offset < 0)
        return -1;
    pos_ = offset;
    return pos_;
}

bool THttpRangeStream::SetSize(long long) {
    return false;
}

// ---- THttpConnection -------------------------------------------------------------

THttpConnection::THttpConnection() = default;

THttpConnection::~THttpConnection() {
    ReleaseDocFd();
}

int THttpConnection::Receive(void* Buffer, int BufferSize) {
    if (!inBuf_.empty() && BufferSize > 0) {
        const std::size_t n = std::min(inBuf_.size(), std::size_t(BufferSize));
        std::copy_n(inBuf_.data(), n, static_cast<char*>(Buffer));
        inBuf_.erase(0, n);
        return int(n);
    }
    return TWSocketClient::Receive(Buffer, BufferSize);
}

bool THttpConnection::ReadSocket() {
    char buf[kReadChunk];
    const int n = TWSocketClient::Receive(buf, sizeof buf);
    drained_ = n < kReadChunk;
    if (n <= 0)
        return false;
    inBuf_.append(buf, std::size_t(n));
    return true;
}

bool THttpConnection::TriggerDataAvailable(int) {
    drained_ = false;
    const LifeCheck life(*this);
    ProcessInput();
    // A short read emptied the socket: what comes later is announced anew,
    // so the receive loop need not ask the system whether more waits.
    if (life.Same() && drained_ && LastError() == 0)
        SetLastError(-1);
    return true;
}

void THttpConnection::ProcessInput() {
    const LifeCheck life(*this);
    while (life.Same() && State() == wsConnected && !closing_) {
        if (discard_ > 0) {
            if (inBuf_.empty() && !ReadSocket())
                return;
            const std::size_t n = std::size_t(std::min<long long>(discard_, (long long)inBuf_.size()));
            inBuf_.erase(0, n);
            discard_ -= (long long)n;
            ArmTimer();
            continue;
        }
        if (httpState_ == hcPostedData) {
            if (!acceptPostedData_ || !OnPostedData)
                return;
            const std::size_t held = inBuf_.size();
            const long long before = ReadCount();
            auto handler = OnPostedData;
            handler(this, 0);
            if (!life.Same())
                return;
            if (inBuf_.size() == held && ReadCount() == before)
                return; // the handler wants nothing more now
            if (httpState_ == hcPostedData)
                ArmTimer();
            continue;
        }
        if (answering_ || resumePosted_)
            return; // the next request waits until this answer is out
        const THttpHeadResult r = ParseRequestHead(inBuf_, head_);
        if (r.status == THttpHeadStatus::NeedMore) {
            if (!inBuf_.empty())
                httpState_ = hcHeader;
            if (!ReadSocket())
                return;
            continue;
        }
        if (r.status == THttpHeadStatus::TooLarge) {
            RefuseAndClose("431 Request Header Fields Too Large");
            return;
        }
        if (r.status == THttpHeadStatus::Bad) {
            RefuseAndClose("400 Bad Request");
            return;
        }
        inBuf_.erase(0, r.consumed);
        timed_ = false;
        HandleHead();
    }
}

void THttpConnection::HandleHead() {
    fields_ = THttpRequestFields{};
    ranges_.clear();
    authUserName_.clear();
    authPassword_.clear();
    authDigestUri_.clear();
    docPos_ = docSize_ = 0;
    acceptPostedData_ = false;
    if (httpServer_) {
        authType_ = httpServer_->AuthType();
        authRealm_ = httpServer_->AuthRealm();
    }
    path_ = head_.path;
    params_ = head_.params;
    const std::string port = httpServer_ ? httpServer_->Port() : std::string("80");
    for (const std::string& line : head_.headers)
        ApplyHeaderLine(fields_, line, head_.version, port);
    keepAlive_ = fields_.keepAlive;
    if (!fields_.range.empty())
        ParseRangeHeader(fields_.range, ranges_);

    // A body whose length the server cannot know would be read as the next
    // request (RFC 7230 §3.3.3).
    if (fields_.hasTransferEncoding || (head_.method == "POST" && !fields_.hasContentLength)) {
        RefuseAndClose("411 Length Required");
        return;
    }
    if (fields_.badContentLength) {
        RefuseAndClose("400 Bad Request");
        return;
    }
    const long long maxDiscard = httpServer_ ? httpServer_->MaxDiscard() : 0;
    if (fields_.contentLength > maxDiscard)
        keepAlive_ = false; // too much to read through: the connection ends instead
    httpState_ = fields_.contentLength > 0 ? hcPostedData : hcRequest;

    const LifeCheck life(*this);
    ProcessRequest();
    if (!life.Same())
        return;
    if (httpState_ == hcPostedData && !acceptPostedData_) {
        // Nobody reads this body: drop exactly its bytes so that they are
        // never taken for the next request.
        discard_ = fields_.contentLength;
        httpState_ = hcRequest;
        if (!keepAlive_)
            closing_ = answering_;
    }
}

void THttpConnection::ProcessRequest() {
    const LifeCheck life(*this);
    if (auto h = OnBeforeProcessRequest) {
        h(this);
        if (!life.Same())
            return;
    }
    std::string relative;
    if (MapRequestPath(path_, relative) != TPathCheck::Ok) {
        RefuseAndClose("400 Bad Request");
        return;
    }
    document_ = relative.empty() ? docDir_ : docDir_ + "/" + relative;
    ReleaseDocFd();
    const int rootFd = httpServer_ && httpServer_->docDir_ == docDir_ ? httpServer_->rootFd_ : -1;
    if (!ResolveBeneath(rootFd, relative)) {
        if (!document_.empty() && document_.back() == '/' && Exists(document_ + defaultDoc_) &&
            !defaultDoc_.empty()) {
            document_ += defaultDoc_;
        } else if (IsDirectory(document_) && !defaultDoc_.empty() &&
                   Exists(document_ + "/" + defaultDoc_)) {
            document_ += "/" + defaultDoc_;
        }
        // Links may lead out of the root: compare where the path really leads.
        const std::string root = httpServer_ ? httpServer_->realDocDir_ : RealPath(docDir_);
        const std::string real = RealPath(document_);
        outsideRootDir_ = !real.empty() && !root.empty() && real != root &&
                          real.compare(0, root.size() + 1, root + "/") != 0;
    }

    CheckAuth();
    if (!life.Same())
        return;
    if (head_.method == "GET")
        ProcessGet(true);
    else if (head_.method == "HEAD")
        ProcessGet(false);
    else if (head_.method == "POST")
        ProcessPost();
    else
        Answer501();
}

namespace {
// Opens `relative` under the directory `rootFd` with the system refusing any
// step out of it, ".." and links included (EXDEV); -1 and errno otherwise.
int OpenBeneath(int rootFd, const std::string& relative) {
    open_how how{};
    how.flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return int(::syscall(SYS_openat2, rootFd, relative.empty() ? "." : relative.c_str(), &how,
                         sizeof how));
}
} // namespace

bool THttpConnection::ResolveBeneath(int rootFd, const std::string& relative) {
    if (rootFd < 0)
        return false;
    int fd = OpenBeneath(rootFd, relative);
    if (fd < 0) {
        if (errno == ENOSYS || errno == EPERM)
            return false; // an older system: resolve by path instead
        outsideRootDir_ = errno == EXDEV;
        return true;
    }
    outsideRootDir_ = false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return true;
    }
    if (S_ISDIR(st.st_mode) && !defaultDoc_.empty()) {
        std::string dir = relative;
        while (!dir.empty() && dir.back() == '/')
            dir.pop_back();
        const int docFd = OpenBeneath(rootFd, dir.empty() ? defaultDoc_ : dir + "/" + defaultDoc_);
        struct stat docSt {};
        if (docFd >= 0 && ::fstat(docFd, &docSt) == 0) {
            ::close(fd);
            fd = docFd;
            st = docSt;
            if (document_.back() != '/')
                document_ += '/';
            document_ += defaultDoc_;
        } else if (docFd >= 0) {
            ::close(docFd);
        }
    }
    docFd_ = fd;
    docStat_ = st;
    docFdPath_ = document_;
    return true;
}

void THttpConnection::ReleaseDocFd() {
    if (docFd_ >= 0)
        ::close(docFd_);
    docFd_ = -1;
}

bool THttpConnection::DocumentIsDirectory() const {
    if (docFd_ >= 0 && docFdPath_ == document_)
        return S_ISDIR(docStat_.st_mode);
    return IsDirectory(document_);
}

void THttpConnection::ProcessGet(bool withBody) {
    THttpGetFlag flag = hgSendDoc;
    if (!authOk_)
        flag = hg401;
    else if (outsideRootDir_ && !(options_ & hoAllowOutsideRoot))
        flag = hg403;
    else if ((options_ & hoAllowDirList) && DocumentIsDirectory())
        flag = hgSendDirList;
    const LifeCheck life(*this);
    if (auto h = withBody ? OnGetDocument : OnHeadDocument) {
        h(this, flag);
        if (!life.Same())
            return;
    }
    ActOnFlag(flag, withBody);
}

void THttpConnection::ActOnFlag(THttpGetFlag flag, bool withBody) {
    switch (flag) {
    case hgSendDoc: SendDocument(withBody); break;
    case hgSendStream: SendStream(); break;
    case hgWillSendMySelf: break;
    case hg404: Answer404(); break;
    case hg403: Answer403(); break;
    case hg401: Answer401(); break;
    case hgSendDirList: SendDirList(withBody); break;
    case hgAcceptData:
        if (!keepAlive_)
            Close();
        break;
    }
}

void THttpConnection::ProcessPost() {
    THttpGetFlag flag = hg404;
    if (!authOk_)
        flag = hg401;
    else if (outsideRootDir_ && !(options_ & hoAllowOutsideRoot))
        flag = hg403;
    acceptPostedData_ = false;
    const LifeCheck life(*this);
    if (auto h = OnPostDocument) {
        h(this, flag);
        if (!life.Same())
            return;
    }
    switch (flag) {
    case hg404: Answer404(); break;
    case hg403: Answer403(); break;
    case hg401: Answer401(); break;
    case hgAcceptData: acceptPostedData_ = true; break;
    default:
        if (!keepAlive_)
            Close();
    }
}

void THttpConnection::CheckAuth() {
    authOk_ = false;
    staleNonce_ = false;
    THttpServer* srv = httpServer_;
    const LifeCheck life(*this);
    if (srv && srv->OnAuthGetType) {
        srv->OnAuthGetType(srv, this);
        if (!life.Same())
            return;
    }
    auto getPassword = [&](std::string& pass) {
        if (!srv || !srv->OnAuthGetPassword)
            return false; // nobody to ask: no password can match
        srv->OnAuthGetPassword(srv, this, pass);
        return life.Same();
    };
    auto report = [&](bool ok) {
        if (srv && srv->OnAuthResult)
            srv->OnAuthResult(srv, this, ok);
    };
    switch (authType_) {
    case atNone:
        authOk_ = true;
        return;
    case atBasic: {
        const std::string_view value = TrimView(fields_.auth);
        if (!StartsWithIgnoreCase(value, "basic "))
            return;
        const std::string decoded = DecodeBase64(TrimView(value.substr(6)));
        const std::size_t colon = decoded.find(':');
        authUserName_ = decoded.substr(0, colon);
        authPassword_ = colon == std::string::npos ? std::string() : decoded.substr(colon + 1);
        std::string expected;
        const bool asked = getPassword(expected);
        if (!life.Same())
            return;
        authOk_ = asked && expected == authPassword_;
        report(authOk_);
        return;
    }
    case atDigest: {
        const TDigestFields f = ParseDigestAuthorization(fields_.auth);
        if (!f.ok)
            return;
        authUserName_ = f.username;
        authDigestUri_ = f.uri;
        const TAuthDigestMethod m = srv ? srv->AuthDigestMethod() : daAuth;
        const bool qopOk = (m != daAuthInt && EqualsIgnoreCase(f.qop, "auth")) ||
                           (m != daAuth && EqualsIgnoreCase(f.qop, "auth-int"));
        if (!qopOk)
            return;
        std::time_t issued = 0;
        const bool nonceOk = ParseNonceDate(DecodeBase64(f.nonce), issued);
        const std::time_t now = std::time(nullptr);
        const bool fresh = nonceOk && issued <= now + 5 && now - issued <= 60;
        std::string expected;
        const bool asked = getPassword(expected);
        if (!life.Same())
            return;
        const bool right = asked && nonceOk && f.realm == authRealm_ &&
                           EqualsIgnoreCase(DigestResponse(f, expected, head_.method, {}), f.response);
        authPassword_ = right ? expected : std::string();
        authOk_ = right && fresh;
        // Only an old nonce is stale: a wrong answer marked stale would make
        // clients retry for ever without asking their user again.
        staleNonce_ = right && !fresh;
        report(authOk_);
        return;
    }
    }
}

void THttpConnection::RefuseAndClose(const std::string& status) {
    keepAlive_ = false;
    if (head_.version.empty())
        head_.version = "HTTP/1.1";
    FixedAnswer(status, {}, "text/plain", status + kCrLf);
}

void THttpConnection::FixedAnswer(const std::string& status, const std::string& extraHeaders,
                                  const std::string& contentType, const std::string& body) {
    const std::string header = Version() + " " + status + kCrLf + extraHeaders +
                               "Content-Type: " + contentType + kCrLf +
                               "Content-Length: " + std::to_string(body.size()) + kCrLf +
                               "Connection: " + (keepAlive_ ? "Keep-Alive" : "Close") + kCrLf + kCrLf;
    StartAnswer(header, std::make_unique<TMemoryStream>(body));
}

void THttpConnection::Answer404() {
    FixedAnswer("404 Not Found", {}, "text/html", Answer404Body(path_));
}

void THttpConnection::Answer403() {
    FixedAnswer("403 Forbidden", {}, "text/html", Answer403Body(path_));
}

void THttpConnection::Answer501() {
    FixedAnswer("501 Unimplemented", {}, "text/plain", "501 Unimplemented");
}

void THttpConnection::Answer401() {
    std::string extra;
    if (authType_ == atDigest) {
        const TAuthDigestMethod m = httpServer_ ? httpServer_->AuthDigestMethod() : daAuth;
        const char* qop = m == daAuth ? "auth" : m == daAuthInt ? "auth-int" : "auth,auth-int";
        extra += "WWW-Authenticate: Digest realm=" + authRealm_ + ", qop=\"" + qop +
                 "\", nonce=\"" + EncodeBase64(NonceDate(std::time(nullptr))) +
                 "\", opaque=\"" + RandomAlnum(34) + "\"";
        if (staleNonce_)
            extra += ", stale=\"true\"";
        extra += kCrLf;
    }
    extra += "WWW-Authenticate: Basic Realm=" + authRealm_ + kCrLf;
    FixedAnswer("401 Unauthorized", extra, "text/html", Answer401Body(path_));
}

void THttpConnection::SendStream() {
    if (!docStream_)
        docStream_ = std::make_unique<TMemoryStream>();
    docStream_->Seek(0);
    StartAnswer({}, std::move(docStream_));
}

void THttpConnection::SendDocument(bool withBody) {
    int fd = -1;
    struct stat st {};
    if (docFd_ >= 0 && docFdPath_ == document_) {
        fd = docFd_; // opened while the path was resolved
        st = docStat_;
        docFd_ = -1;
    } else {
        fd = ::open(document_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0 && ::fstat(fd, &st) != 0)
            st.st_mode = 0;
    }
    // Only regular files: a FIFO or a device would block or never end.
    if (fd < 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        Answer404();
        return;
    }
    // O_NONBLOCK may stay: reads of a regular file never wait.
    std::unique_ptr<TStream> stream = std::make_unique<TFileStream>(fd);
    const long long size = st.st_size;
    lastModified_ = st.st_mtime;
    answerContentType_ = DocumentContentType(document_);

    std::vector<TResolvedRange> parts;
    const TRangePlan plan = PlanRanges(ranges_, size, parts);
    std::string header;
    if (plan == TRangePlan::Whole) {
        header = Version() + " 200 OK" + kCrLf + "Content-Type: " + answerContentType_ + kCrLf +
                 "Content-Length: " + std::to_string(size) + kCrLf + "Accept-Ranges: bytes" + kCrLf;
    } else if (plan == TRangePlan::Partial) {
        stream = std::make_unique<THttpRangeStream>(std::move(stream), answerContentType_, size, parts);
        header = Version() + " 206 Partial Content" + kCrLf;
        if (parts.size() == 1) {
            header += "Content-Type: " + answerContentType_ + kCrLf + "Content-Length: " +
                      std::to_string(stream->Size()) + kCrLf + "Content-Range: bytes " +
                      ContentRangeText(parts.front(), size) + kCrLf;
        } else {
            // "[" and "]" may not stand bare in a parameter (RFC 2045 §5.1):
            // unquoted, strict clients find no parts.
            header += std::string("Content-Type: multipart/byteranges; boundary=\"") +
                      kRangeBoundary + "\"" + kCrLf + "Content-Length: " +
                      std::to_string(stream->Size()) + kCrLf;
        }
    } else {
        // RFC 7233 §4.4: the client learns the size, and a kept client
        // learns that no body follows.
        header = Version() + " 416 Request range not satisfiable" + kCrLf +
                 "Content-Range: bytes */" + std::to_string(size) + kCrLf + "Content-Length: 0" + kCrLf;
        withBody = false;
    }
    if (lastModified_ != 0)
        header += "Last-Modified: " + HttpDate(lastModified_) + kCrLf;
    header += std::string("Connection: ") + (keepAlive_ ? "Keep-Alive" : "Close") + kCrLf + kCrLf;
    // The whole file goes out as long as the header said, taken from the
    // same look at the file: one that grew meanwhile must not send more.
    StartAnswer(header, withBody ? std::move(stream) : nullptr,
                plan == TRangePlan::Whole ? size : -1);
}

void THttpConnection::SendDirList(bool withBody) {
    docStream_.reset();
    const std::string text = BuildDirList();
    const std::string header = Version() + " 200 OK" + kCrLf + "Content-Type: text/html" + kCrLf +
                               "Content-Length: " + std::to_string(text.size()) + kCrLf +
                               "Pragma: no-cache" + kCrLf + "Connection: " +
                               (keepAlive_ ? "Keep-Alive" : "Close") + kCrLf + kCrLf;
    StartAnswer(header, withBody ? std::make_unique<TMemoryStream>(text) : nullptr);
}

std::string THttpConnection::BuildDirList() {
    std::vector<THttpDirEntry> dirs, files;
    std::string dir = document_;
    if (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (DIR* d = ::opendir(dir.c_str())) {
        const LifeCheck life(*this);
        while (dirent* de = ::readdir(d)) {
            const std::string name = de->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string full = dir + "/" + name;
            struct stat st {};
            if (::stat(full.c_str(), &st) != 0 && ::lstat(full.c_str(), &st) != 0)
                continue;
            THttpDirEntry e;
            e.Name = name;
            e.Directory = S_ISDIR(st.st_mode);
            const auto size = static_cast<unsigned long long>(e.Directory ? 0 : st.st_size);
            e.SizeLow = std::uint32_t(size & 0xFFFFFFFFu);
            e.SizeHigh = std::uint32_t(size >> 32);
            e.Hidden = name.front() == '.';
            e.ReadOnly = ::access(full.c_str(), W_OK) != 0;
            std::tm tm{};
            const std::time_t mt = st.st_mtime;
            localtime_r(&mt, &tm);
            e.Year = tm.tm_year + 1900;
            e.Month = tm.tm_mon + 1;
            e.Day = tm.tm_mday;
            e.Hour = tm.tm_hour;
            e.Min = tm.tm_min;
            e.Sec = tm.tm_sec;
            if (auto h = OnFilterDirEntry) {
                h(this, e);
                if (!life.Alive())
                    break;
            }
            if (e.Visible)
                (e.Directory ? dirs : files).push_back(std::move(e));
        }
        ::closedir(d);
    }
    auto byName = [](const THttpDirEntry& a, const THttpDirEntry& b) {
        return AsciiLower(a.Name) < AsciiLower(b.Name);
    };
    std::sort(dirs.begin(), dirs.end(), byName);
    std::sort(files.begin(), files.end(), byName);
    return BuildDirListText(path_, dirs, files);
}

void THttpConnection::PostedDataReceived() {
    httpState_ = hcRequest;
    acceptPostedData_ = false;
    // What follows the body is the next request, read from the loop.
    if (!resumePosted_ && !answering_) {
        resumePosted_ = true;
        PostToSelf(WM_HTTP_REQUEST_DONE, 0);
    }
}

void THttpConnection::StartAnswer(const std::string& header, std::unique_ptr<TStream> body,
                                  long long bodySize) {
    answering_ = true;
    docStream_ = std::move(body);
    if (!docStream_)
        docSize_ = 0;
    else
        docSize_ = bodySize >= 0 ? bodySize : std::max(docStream_->Size(), 0LL);
    docPos_ = 0;
    pendingHeader_ = header;
    ArmTimer();
    SendMore();
}

void THttpConnection::SendMore() {
    if (!answering_)
        return;
    std::string block = std::move(pendingHeader_);
    pendingHeader_.clear();
    if (docStream_ && docPos_ < docSize_) {
        const std::size_t head = block.size();
        const long long want = std::min(kSendBlock, docSize_ - docPos_);
        block.resize(head + std::size_t(want));
        const long long n = docStream_->Read(block.data() + head, want);
        block.resize(head + std::size_t(std::max(n, 0LL)));
        if (n <= 0) {
            // The document shrank since its length went out in the header: the
            // client can only tell the answer is short if the connection ends.
            docPos_ = docSize_;
            keepAlive_ = false;
        } else
            docPos_ += n;
    } else if (block.empty()) {
        FinishAnswer();
        return;
    }
    if (block.empty()) {
        FinishAnswer();
        return;
    }
    if (State() != wsConnected)
        return;
    const LifeCheck life(*this);
    Send(block.data(), int(block.size()));
    // All of a small answer usually goes out at once: the next request
    // need not wait for the loop to report it.
    if (life.Same() && answering_ && docPos_ >= docSize_ && AllSent())
        FinishAnswer();
}

void THttpConnection::TriggerDataSent(int error) {
    const LifeCheck life(*this);
    TWSocketClient::TriggerDataSent(error);
    if (life.Same() && answering_)
        SendMore();
}

void THttpConnection::FinishAnswer() {
    answering_ = false;
    docStream_.reset();
    if (!keepAlive_)
        closing_ = true;
    resumePosted_ = true;
    PostToSelf(WM_HTTP_REQUEST_DONE, 0);
}

void THttpConnection::WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_HTTP_REQUEST_DONE) {
        TWSocketClient::WndProc(msg, wParam, lParam);
        return;
    }
    resumePosted_ = false;
    if (State() != wsConnected)
        return;
    const LifeCheck life(*this);
    if (auto h = OnHttpRequestDone) {
        h(this);
        if (!life.Same())
            return;
    }
    if (closing_) {
        Close();
        return;
    }
    if (httpState_ == hcRequest && !answering_)
        ArmTimer();
    ProcessInput();
}

void THttpConnection::TriggerSessionClosed(int error) {
    answering_ = false;
    timed_ = false;
    docStream_.reset();
    ReleaseDocFd();
    TWSocketClient::TriggerSessionClosed(error);
}

void THttpConnection::ArmTimer() {
    const int seconds = httpServer_ ? httpServer_->Timeout() : 0;
    timed_ = seconds > 0;
    if (timed_)
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

void THttpConnection::TimedOut() {
    if (State() != wsConnected)
        return;
    if (answering_) {
        // A reader that takes nothing for a whole period holds the
        // connection for nothing.
        if (docPos_ != docSize_ || BufferedBytes() > 0) {
            if (lastProgress_ != docPos_ + BufferedBytes()) {
                lastProgress_ = docPos_ + BufferedBytes();
                ArmTimer();
                return;
            }
        }
        Abort();
        return;
    }
    if (httpState_ == hcHeader || !inBuf_.empty()) {
        RefuseAndClose("408 Request Timeout");
        return;
    }
    Close();
}

// ---- THttpServer -----------------------------------------------------------------

THttpServer::THttpServer() = default;

THttpServer::~THttpServer() {
    if (rootFd_ >= 0)
        ::close(rootFd_);
    if (server_) {
        server_->OnClientConnect = nullptr;
        server_->OnClientDisconnect = nullptr;
        server_->OnClientCreate = nullptr;
        server_->OnChangeState = nullptr;
    }
}

void THttpServer::SetPort(const std::string& v) {
    port_ = v;
    if (Listening()) {
        Stop();
        Start();
    }
}

void THttpServer::SetAddr(const std::string& v) {
    addr_ = v;
    if (Listening()) {
        Stop();
        Start();
    }
}

void THttpServer::SetDocDir(const std::string& v) {
    std::string d = v;
    while (d.size() > 1 && d.back() == '/')
        d.pop_back();
    docDir_ = d.empty() ? d : (d.front() == '/' ? NormalisePosixPath(d) : d);
    if (docDir_.size() > 1 && docDir_.back() == '/')
        docDir_.pop_back();
}

std::string THttpServer::SrcVersion() const {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%02d", 1, 40);
    return buf;
}

bool THttpServer::Listening() const {
    return server_ && server_->State() == wsListening;
}

void THttpServer::Start() {
    if (Listening())
        return;
    RaiseDescriptorLimit();
    realDocDir_ = RealPath(docDir_);
    if (realDocDir_.empty())
        realDocDir_ = docDir_;
    if (rootFd_ >= 0)
        ::close(rootFd_);
    rootFd_ = ::open(realDocDir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (!server_)
        server_ = std::make_unique<TWSocketServer>();
    TWSocketServer& s = *server_;
    if (clientClass_)
        s.SetClientClass(clientClass_);
    else
        s.SetClientClass<THttpConnection>();
    s.OnClientCreate = [this](TCustomWSocket*, TWSocketClient* c) { ClientCreated(c); };
    s.OnClientConnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t e) {
        ClientConnected(c, e);
    };
    s.OnClientDisconnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t e) {
        if (auto* conn = dynamic_cast<THttpConnection*>(c); conn && OnClientDisconnect)
            OnClientDisconnect(this, conn, e);
    };
    s.OnChangeState = [this](TCustomWSocket*, TSocketState oldState, TSocketState newState) {
        if (newState == wsListening && OnServerStarted)
            OnServerStarted(this);
        else if (oldState == wsListening && newState == wsClosed && OnServerStopped)
            OnServerStopped(this);
    };
    s.SetBanner({});
    s.SetProto("tcp");
    s.SetPort(port_);
    s.SetAddr(addr_);
    s.SetMaxClients(maxClients_);
    s.SetListenBacklog(listenBacklog_);
    s.SetBannerTooBusy("HTTP/1.0 503 Service Unavailable\r\nContent-type: text/plain\r\n"
                       "Content-length: 33\r\n\r\nServer overloaded. Retry later.\r\n");
    s.SetReuseAddr(true);
    s.Listen();
    if (!sweep_) {
        // One clock for all connections: arming a timer per request would
        // cost more than the request itself.
        sweep_ = std::make_unique<QTimer>();
        sweep_->setInterval(250);
        QObject::connect(sweep_.get(), &QTimer::timeout, [this] { Sweep(); });
    }
    sweep_->start();
}

void THttpServer::Sweep() {
    if (!server_)
        return;
    const auto now = std::chrono::steady_clock::now();
    std::vector<THttpConnection*> late;
    for (int i = 0; i < server_->ClientCount(); ++i) {
        auto* c = dynamic_cast<THttpConnection*>(server_->Client(i));
        if (c && c->timed_ && now >= c->deadline_)
            late.push_back(c);
    }
    for (THttpConnection* c : late) {
        if (!server_->IsClient(c))
            continue;
        c->timed_ = false;
        c->TimedOut();
    }
}

void THttpServer::Stop() {
    if (sweep_)
        sweep_->stop();
    if (!server_)
        return;
    server_->Close();
    for (int i = server_->ClientCount() - 1; i >= 0; --i) {
        try {
            if (TWSocketClient* c = server_->Client(i))
                c->Abort();
        } catch (...) {
        }
    }
}

std::string THttpServer::BoundPort() {
    return server_ ? server_->GetBoundPort() : std::string();
}

int THttpServer::ClientCount() const {
    return server_ ? server_->ClientCount() : 0;
}

THttpConnection* THttpServer::Client(int index) const {
    return server_ ? dynamic_cast<THttpConnection*>(server_->Client(index)) : nullptr;
}

bool THttpServer::IsClient(const THttpConnection* c) const {
    return server_ && server_->IsClient(c);
}

void THttpServer::ClientCreated(TWSocketClient* client) {
    // A linger time handed to the system would make every close wait on
    // this thread; the graceful close delivers the last bytes anyway.
    const bool blocking = lingerOnOff_ == wsLingerOn && lingerTimeout_ > 0;
    client->SetLingerOnOff(blocking ? wsLingerNoSet : lingerOnOff_);
    client->SetLingerTimeout(blocking ? 0 : lingerTimeout_);
    if (auto* conn = dynamic_cast<THttpConnection*>(client))
        conn->SetOptions(options_);
}

void THttpServer::ClientConnected(TWSocketClient* client, int error) {
    auto* conn = dynamic_cast<THttpConnection*>(client);
    if (!conn)
        return;
    conn->httpServer_ = this;
    conn->SetLineMode(false);
    conn->SetDocDir(docDir_);
    conn->SetTemplateDir(templateDir_);
    conn->SetDefaultDoc(defaultDoc_);
    conn->OnGetDocument = [this, conn](TCustomWSocket*, THttpGetFlag& f) {
        if (OnGetDocument)
            OnGetDocument(this, conn, f);
    };
    conn->OnHeadDocument = [this, conn](TCustomWSocket*, THttpGetFlag& f) {
        if (OnHeadDocument)
            OnHeadDocument(this, conn, f);
    };
    conn->OnPostDocument = [this, conn](TCustomWSocket*, THttpGetFlag& f) {
        if (OnPostDocument)
            OnPostDocument(this, conn, f);
    };
    if (OnPostedData) {
        conn->OnPostedData = [this, conn](TCustomWSocket*, std::uint16_t e) {
            if (OnPostedData)
                OnPostedData(this, conn, e);
        };
    }
    conn->OnHttpRequestDone = [this, conn](TCustomWSocket*) {
        if (OnHttpRequestDone)
            OnHttpRequestDone(this, conn);
    };
    conn->OnBeforeProcessRequest = [this, conn](TCustomWSocket*) {
        if (OnBeforeProcessRequest)
            OnBeforeProcessRequest(this, conn);
    };
    conn->OnFilterDirEntry = [this, conn](TCustomWSocket*, THttpDirEntry& e) {
        if (OnFilterDirEntry)
            OnFilterDirEntry(this, conn, e);
    };
    if (OnClientConnect)
        OnClientConnect(this, conn, std::uint16_t(error));
    if (server_ && server_->IsClient(conn) && conn->State() == wsConnected)
        conn->ArmTimer();
}

} // namespace qordex::web
