#include "web/HttpClientTool.h"

#include "base/Text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::web {

void ApplyToolDefaults(THttpCli& cli) {
    cli.SetLocalAddr("0.0.0.0");
    cli.SetProxyPort("80");
    cli.SetAgent(kToolAgent);
    cli.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    cli.SetNoCache(false);
    cli.SetContentTypePost("application/x-www-form-urlencoded");
    cli.SetMultiThreaded(false);
    cli.SetRequestVer("1.0");
    cli.SetFollowRelocation(true);
    cli.SetLocationChangeMaxCount(5);
    cli.SetBandwidthLimit(10000);
    cli.SetBandwidthSampling(1000);
    cli.SetOptions(0);
    cli.SetSocksLevel("5");
    cli.SetSocksAuthentication(socksNoAuthentication);
}

void ApplyToolSettings(THttpCli& cli, const THttpToolSettings& s, bool withDate) {
    cli.SetURL(s.url);
    cli.SetAgent(s.agent);
    cli.SetReference(s.referer);
    cli.SetSender(s.program);
    cli.SetUsername(s.username);
    cli.SetPassword(s.password);
    if (s.useProxy) {
        cli.SetProxy(s.proxyAddr);
        cli.SetProxyPort(s.proxyPort);
        cli.SetProxyUsername(s.proxyAuth ? s.proxyUser : std::string());
        cli.SetProxyPassword(s.proxyAuth ? s.proxyPass : std::string());
    } else {
        cli.SetProxy("");
        cli.SetProxyPort("");
    }
    cli.SetRcvdStream(nullptr);
    if (withDate)
        cli.SetModifiedSince(s.modifiedSince);
}

std::string ProxyLogLine(const THttpCli& cli) {
    if (cli.Proxy().empty())
        return "Not using proxy";
    return "Using proxy '" + cli.Proxy() + ":" + cli.ProxyPort() + "'";
}

std::vector<std::string> FailureLines(const std::string& method, const THttpCli& cli) {
    return {method + " Failed.", "StatusCode   = " + std::to_string(cli.StatusCode()),
            "ReasonPhrase = " + cli.ReasonPhrase()};
}

std::vector<std::string> DocBeginLines(const THttpCli& cli) {
    return {cli.ContentType() + " => " + cli.DocName(), "Document = " + cli.DocName()};
}

void AttachToolLog(THttpCli& cli, std::function<void(const std::string&)> log) {
    auto out = std::make_shared<std::function<void(const std::string&)>>(std::move(log));
    cli.OnCommand = [out](THttpCli*, std::string& s) { (*out)("CMD> " + s); };
    cli.OnHeaderData = [out](THttpCli* c) { (*out)("HDR> \"" + c->LastResponse() + "\""); };
    cli.OnCookie = [out](THttpCli*, const std::string& data, bool&) {
        (*out)("Cookie: \"" + data + "\"");
    };
    cli.OnLocationChange = [out](THttpCli* c) {
        (*out)("Location changed to: \"" + c->Location() + "\"");
    };
    cli.OnRequestDone = [out](THttpCli*, THttpRequest, std::uint16_t err) {
        (*out)(err == 0 ? std::string("RequestDone, no error")
                        : "RequestDone Error = " + std::to_string(err));
    };
}

std::string ToolDocFileName(const std::string& docName, const std::string& contentType) {
    static const struct {
        const char* type;
        const char* ext;
    } images[] = {
        {"image/gif", "gif"}, {"image/jpeg", "jpg"}, {"image/bmp", "bmp"}, {"image/x-icon", "ico"}};
    std::string name = docName;
    for (const auto& i : images) {
        if (contentType == i.type) {
            const std::size_t dot = name.rfind('.');
            name = (dot == std::string::npos ? name : name.substr(0, dot)) + "." + i.ext;
            break;
        }
    }
    return name.empty() ? std::string(kDefaultDocFile) : name;
}

TDocFile CreateDocFile(const std::string& folder, const std::string& name) {
    TDocFile f;
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos || name.size() > 255) {
        f.error = "Refused file name \"" + name + "\"";
        return f;
    }
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    for (int n = 0; n < 1000; ++n) {
        const std::string candidate = n == 0 ? name : stem + "-" + std::to_string(n) + ext;
        const int fd = ::open((folder + candidate).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            f.fd = fd;
            f.name = candidate;
            return f;
        }
        if (errno != EEXIST) {
            f.error = std::strerror(errno);
            return f;
        }
    }
    f.error = "No free file name for \"" + name + "\"";
    return f;
}

std::string MoveDocFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0)
        return {};
    if (errno != EXDEV)
        return std::strerror(errno);
    // Another file system: copy beside the target, then replace it in one step.
    const std::string tmp = to + ".part";
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return std::strerror(errno);
    const int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
        const std::string err = std::strerror(errno);
        ::close(in);
        return err;
    }
    std::string err;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = std::strerror(errno);
            break;
        }
        for (ssize_t done = 0; done < n && err.empty();) {
            const ssize_t w = ::write(out, buf + done, std::size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                err = std::strerror(errno);
            else
                done += w;
        }
        if (!err.empty())
            break;
    }
    ::close(in);
    if (::close(out) != 0 && err.empty())
        err = std::strerror(errno);
    if (err.empty() && ::rename(tmp.c_str(), to.c_str()) != 0)
        err = std::strerror(errno);
    if (!err.empty()) {
        ::unlink(tmp.c_str());
        return err;
    }
    ::unlink(from.c_str());
    return {};
}

} // namespace qordex::web
