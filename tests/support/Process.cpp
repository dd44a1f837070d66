#include "support/Process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qordex::test {
namespace {

std::vector<char*> Argv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const auto& a : argv)
        out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

using Clock = std::chrono::steady_clock;

int FreePort(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

} // namespace

CommandResult Run(const std::vector<std::string>& argv, const std::string& input, int timeoutMs) {
    CommandResult r;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        auto args = Argv(argv);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    std::size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, in[1] >= 0 ? 3 : 2, left) < 0 && errno != EINTR)
            break;
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0)
                    (i == 0 ? outOpen : errOpen) = false, fds[i].fd = -1;
                else
                    (i == 0 ? r.out : r.err).append(buf, std::size_t(n));
            }
        }
        if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR))) {
            ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0)
                written += std::size_t(n);
            if (n < 0 || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
        if (!outOpen)
            out[0] = -1;
        if (!errOpen)
            err[0] = -1;
    }
    if (in[1] >= 0)
        close(in[1]);
    if (out[0] >= 0)
        close(out[0]);
    if (err[0] >= 0)
        close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

CommandResult Shell(const std::string& command, int timeoutMs) {
    return Run({"/bin/sh", "-c", command}, {}, timeoutMs);
}

bool HasProgram(const std::string& name) {
    return Shell("command -v '" + name + "' >/dev/null 2>&1").status == 0;
}

std::string BinPath(const std::string& name) { return std::string(QORDEX_BIN_DIR) + "/" + name; }

Background::Background(const std::vector<std::string>& argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC))
        return;
    pid_ = fork();
    if (pid_ == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(out[1], 1);
        auto args = Argv(argv);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    outFd_ = out[0];
    fcntl(outFd_, F_SETFL, O_NONBLOCK);
}

Background::~Background() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGTERM);
        if (Wait(2000) == -1 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait(5000);
        }
    }
    if (outFd_ >= 0)
        close(outFd_);
}

void Background::Drain(bool block) {
    if (outFd_ < 0)
        return;
    char buf[65536];
    for (;;) {
        if (block) {
            pollfd p{outFd_, POLLIN, 0};
            poll(&p, 1, 1000);
        }
        ssize_t n = read(outFd_, buf, sizeof buf);
        if (n > 0) {
            out_.append(buf, std::size_t(n));
            continue;
        }
        if (n == 0) {
            close(outFd_);
            outFd_ = -1;
        }
        return;
    }
}

bool Background::Running() {
    if (reaped_ || pid_ <= 0)
        return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

bool Background::Signal(int sig) { return Running() && kill(pid_, sig) == 0; }

int Background::Wait(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
        Drain(false);
        if (Clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Drain(true);
    return status_;
}

std::string Background::Output() {
    Drain(false);
    return out_;
}

int Background::FirstLineNumber(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out_.find('\n') == std::string::npos && outFd_ >= 0 && Clock::now() < deadline)
        Drain(true);
    if (out_.find('\n') == std::string::npos)
        return 0;
    return std::atoi(out_.c_str());
}

bool WaitForOutput(Background& process, const std::string& text, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (process.Output().find(text) == std::string::npos) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool WaitForTcpPort(int port, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int FreeTcpPort() { return FreePort(SOCK_STREAM); }
int FreeUdpPort() { return FreePort(SOCK_DGRAM); }

} // namespace qordex::test
