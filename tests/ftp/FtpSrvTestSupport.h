#pragma once
// The FTP server as tests drive it: qordex-cli ftp-server in the
// background on a folder of the test's, and a plain blocking control
// connection that speaks the protocol line by line.

#include "support/Process.h"
#include "support/TestData.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace qordex::test {

// qordex-cli ftp-server for user "u", password "p".  Its log goes to a
// file (a pipe nobody drains would stop a talkative server).
class OurFtpServer {
public:
    OurFtpServer(const std::string& root, std::vector<std::string> extra = {}) {
        port_ = FreeTcpPort();
        log_ = root + "." + std::to_string(port_) + ".log";
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" > \"$QORDEX_FTP_LOG\"",
                                         BinPath("qordex-cli"), "ftp-server", "--root", root,
                                         "--port", std::to_string(port_)};
        bool login = false;
        for (const std::string& a : extra)
            login |= a == "--anonymous" || a == "--user";
        if (!login)
            argv.insert(argv.end(), {"--user", "u", "--password", "p"});
        argv.insert(argv.end(), extra.begin(), extra.end());
        ::setenv("QORDEX_FTP_LOG", log_.c_str(), 1);
        proc_ = std::make_unique<Background>(argv);
        for (int i = 0; i < 1500 && !started_ && proc_->Running(); ++i) {
            started_ = Log().find("Server started") != std::string::npos;
            if (!started_)
                ::usleep(20000);
        }
    }
    std::string Log() const { return ReadFile(log_); }
    bool Started() const { return started_; }
    int Port() const { return port_; }
    Background& Process() { return *proc_; }

private:
    std::unique_ptr<Background> proc_;
    std::string log_;
    int port_ = 0;
    bool started_ = false;
};

// A TCP connection to 127.0.0.1, optionally from another loopback address.
inline int ConnectTcp(int port, const char* from = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(std::uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything until the peer closes (or 60 s of silence).
inline std::string ReadToEnd(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, std::size_t(n));
    }
    return out;
}

class FtpControl {
public:
    explicit FtpControl(int port, const char* from = nullptr) : fd_(ConnectTcp(port, from)) {
        if (fd_ >= 0)
            greeting_ = Reply();
    }
    ~FtpControl() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    const std::string& Greeting() const { return greeting_; }

    void SendRaw(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    // One whole reply (all its lines, joined by "\n"); empty when the
    // connection ended first.
    std::string Reply() {
        std::string all, code;
        for (;;) {
            std::string line;
            if (!ReadLine(line))
                return all;
            if (!all.empty())
                all += "\n";
            all += line;
            if (code.empty()) {
                if (line.size() < 4)
                    return all;
                code = line.substr(0, 3);
                if (line[3] != '-')
                    return all;
            } else if (line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' ') {
                return all;
            }
        }
    }
    std::string Cmd(const std::string& line) {
        SendRaw(line + "\r\n");
        return Reply();
    }
    bool Login(const std::string& user = "u", const std::string& pass = "p") {
        Cmd("USER " + user);
        return Cmd("PASS " + pass).rfind("230", 0) == 0;
    }
    // PASV and a connection to the port it names; -1 on failure.
    int Passive(const char* from = nullptr) {
        const std::string r = Cmd("PASV");
        const std::size_t open = r.find('(');
        int n[6] = {};
        if (r.rfind("227", 0) != 0 || open == std::string::npos ||
            std::sscanf(r.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &n[0], &n[1], &n[2], &n[3], &n[4],
                        &n[5]) != 6)
            return -1;
        pasvPort_ = n[4] * 256 + n[5];
        return ConnectTcp(pasvPort_, from);
    }
    int PasvPort() const { return pasvPort_; }
    // Whether the connection was closed by the server (waits for it).
    bool ClosedByPeer() {
        char c;
        return ::recv(fd_, &c, 1, 0) <= 0;
    }

private:
    bool ReadLine(std::string& line) {
        for (;;) {
            const std::size_t lf = buf_.find('\n');
            if (lf != std::string::npos) {
                line = buf_.substr(0, lf);
                buf_.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return true;
            }
            char tmp[4096];
            const ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
            if (n <= 0)
                return false;
            buf_.append(tmp, std::size_t(n));
        }
    }

    int fd_ = -1;
    std::string buf_, greeting_;
    int pasvPort_ = 0;
};

// A transfer command over a passive connection: its first reply, the data,
// and the final reply.
struct Transfer {
    std::string first, data, last;
};

inline Transfer PassiveGet(FtpControl& c, const std::string& cmd) {
    Transfer t;
    const int d = c.Passive();
    if (d < 0)
        return t;
    t.first = c.Cmd(cmd);
    if (t.first.rfind("150", 0) == 0) {
        t.data = ReadToEnd(d);
        ::close(d);
        t.last = c.Reply();
    } else {
        ::close(d);
    }
    return t;
}

inline Transfer PassivePut(FtpControl& c, const std::string& cmd, const std::string& bytes) {
    Transfer t;
    const int d = c.Passive();
    if (d < 0)
        return t;
    t.first = c.Cmd(cmd);
    if (t.first.rfind("150", 0) == 0) {
        std::size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t n = ::send(d, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            off += std::size_t(n);
        }
        ::shutdown(d, SHUT_WR);
        ReadToEnd(d);
        ::close(d);
        t.last = c.Reply();
    } else {
        ::close(d);
    }
    return t;
}

} // namespace qordex::test
