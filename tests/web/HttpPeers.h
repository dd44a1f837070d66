#pragma once
// Real HTTP peers for the client tests, each run in the foreground with its
// own files in a temporary folder, on 127.0.0.1: the scripted Python server,
// nginx, Python's http.server and tinyproxy.  A peer that cannot start says
// why in SkipReason(); each is stopped when its object goes away.

#include "support/Process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qordex::test {

// A plain blocking GET (HTTP/1.0) for reading what a peer recorded.
inline std::string PlainGet(int port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        const std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
        if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) == ssize_t(req.size())) {
            char buf[65536];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
                out.append(buf, std::size_t(n));
        }
    }
    ::close(fd);
    const std::size_t body = out.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : out.substr(body + 4);
}

inline bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(f);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Waits (by polling the output, with a deadline) for the first line a
// background program prints.
inline std::string FirstLine(Background& proc, int timeoutMs = 15000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::string out = proc.Output();
        const std::size_t nl = out.find('\n');
        if (nl != std::string::npos)
            return out.substr(0, nl);
        if (!proc.Running() || std::chrono::steady_clock::now() > deadline)
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The scripted server of http_script_server.py.
class ScriptServer {
public:
    explicit ScriptServer(int ports = 1)
        : proc_({"/usr/bin/python3",
                 std::string(QORDEX_SOURCE_DIR) + "/tests/web/http_script_server.py", "--ports",
                 std::to_string(ports)}) {
        const std::string line = FirstLine(proc_);
        std::size_t pos = 0;
        while (pos < line.size()) {
            std::size_t used = 0;
            ports_.push_back(std::stoi(line.substr(pos), &used));
            pos += used;
            while (pos < line.size() && line[pos] == ' ')
                ++pos;
        }
    }
    bool Ok() const { return !ports_.empty(); }
    int Port(int i = 0) const { return ports_.at(std::size_t(i)); }
    std::string Url(const std::string& path, int i = 0) const {
        return "http://127.0.0.1:" + std::to_string(Port(i)) + path;
    }
    // Every request received since the last call: {"conn", "port", "head", "body"}.
    QJsonArray Log() const {
        const std::string body = PlainGet(Port(), "/_log");
        return QJsonDocument::fromJson(QByteArray::fromStdString(body)).array();
    }

private:
    Background proc_;
    std::vector<int> ports_;
};

// A header line of a logged request ("" when absent).
inline std::string LoggedHeader(const QJsonValue& entry, const std::string& name) {
    const std::string head = entry.toObject()["head"].toString().toStdString();
    const std::string key = "\r\n" + name + ": ";
    const std::size_t at = head.find(key);
    if (at == std::string::npos)
        return {};
    const std::size_t end = head.find("\r\n", at + key.size());
    return head.substr(at + key.size(), end - at - key.size());
}

inline std::vector<std::string> LoggedLines(const QJsonValue& entry) {
    std::vector<std::string> lines;
    const std::string head = entry.toObject()["head"].toString().toStdString();
    std::size_t pos = 0;
    for (std::size_t nl; (nl = head.find("\r\n", pos)) != std::string::npos; pos = nl + 2)
        if (nl > pos)
            lines.push_back(head.substr(pos, nl - pos));
    return lines;
}

// nginx with its own configuration; `extra` goes inside the server block.
class Nginx {
public:
    explicit Nginx(const std::string& extra = {}) {
        if (!HasProgram("nginx")) {
            reason_ = "nginx is not installed (scripts/install-deps.sh installs it)";
            return;
        }
        const std::string d = dir_.path().toStdString();
        ::mkdir((d + "/www").c_str(), 0755);
        ::mkdir((d + "/tmp").c_str(), 0755);
        port_ = FreeTcpPort();
        const std::string conf = "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                                 "pid " +
                                 d + "/nginx.pid;\nerror_log " + d +
                                 "/error.log;\n"
                                 "events { worker_connections 64; }\n"
                                 "http {\n"
                                 "  log_format conn '$connection $request $status';\n"
                                 "  access_log " +
                                 d +
                                 "/access.log conn;\n"
                                 "  client_body_temp_path " +
                                 d + "/tmp;\n  proxy_temp_path " + d +
                                 "/tmp;\n"
                                 "  fastcgi_temp_path " +
                                 d + "/tmp;\n  uwsgi_temp_path " + d +
                                 "/tmp;\n"
                                 "  scgi_temp_path " +
                                 d +
                                 "/tmp;\n"
                                 "  types { text/html html; text/plain txt; image/gif gif; }\n"
                                 "  default_type application/octet-stream;\n"
                                 "  sendfile on;\n"
                                 "  server {\n    listen 127.0.0.1:" +
                                 std::to_string(port_) +
                                 ";\n"
                                 "    root " +
                                 d + "/www;\n" + extra + "\n  }\n}\n";
        WriteFile(d + "/nginx.conf", conf);
        proc_ = std::make_unique<Background>(
            std::vector<std::string>{"nginx", "-e", d + "/error.log", "-c", d + "/nginx.conf"});
        if (!WaitForTcpPort(port_, 10000)) {
            reason_ = "nginx did not start: " + ReadFile(d + "/error.log");
            proc_.reset();
        }
    }
    bool Ok() const { return proc_ != nullptr; }
    const std::string& SkipReason() const { return reason_; }
    int Port() const { return port_; }
    std::string Dir() const { return dir_.path().toStdString(); }
    std::string Www() const { return Dir() + "/www"; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string AccessLog() const { return ReadFile(Dir() + "/access.log"); }

private:
    QTemporaryDir dir_;
    int port_ = 0;
    std::string reason_;
    std::unique_ptr<Background> proc_;
};

// tinyproxy in the foreground; with a user, it asks for Basic credentials.
class Tinyproxy {
public:
    Tinyproxy(const std::string& user, const std::string& pass) {
        if (!HasProgram("tinyproxy")) {
            reason_ = "tinyproxy is not installed (scripts/install-deps.sh installs it)";
            return;
        }
        const std::string d = dir_.path().toStdString();
        port_ = FreeTcpPort();
        std::string conf = "Port " + std::to_string(port_) +
                           "\nListen 127.0.0.1\nTimeout 30\n"
                           "MaxClients 16\nAllow 127.0.0.1\nDisableViaHeader Yes\n"
                           "LogLevel Error\nLogFile \"" +
                           d + "/tinyproxy.log\"\n";
        if (::getuid() == 0)
            conf += "User nobody\nGroup nogroup\n";
        if (!user.empty())
            conf += "BasicAuth " + user + " " + pass + "\n";
        WriteFile(d + "/tinyproxy.conf", conf);
        ::chmod(d.c_str(), 0777);
        proc_ = std::make_unique<Background>(
            std::vector<std::string>{"tinyproxy", "-d", "-c", d + "/tinyproxy.conf"});
        if (!WaitForTcpPort(port_, 10000)) {
            reason_ = "tinyproxy did not start: " + ReadFile(d + "/tinyproxy.log");
            proc_.reset();
        }
    }
    bool Ok() const { return proc_ != nullptr; }
    const std::string& SkipReason() const { return reason_; }
    int Port() const { return port_; }

private:
    QTemporaryDir dir_;
    int port_ = 0;
    std::string reason_;
    std::unique_ptr<Background> proc_;
};

} // namespace qordex::test
