#include "support/NetNs.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qordex::test {
namespace {
std::atomic<int> g_counter{0};
}

NetNs::NetNs() {
    if (geteuid() != 0) {
        reason_ = "network namespaces need root";
        return;
    }
    if (!HasProgram("ip")) {
        reason_ = "iproute2 ('ip') is not installed";
        return;
    }
    name_ = "qdx" + std::to_string(getpid()) + "n" + std::to_string(g_counter++);
    CommandResult r = Run({"ip", "netns", "add", name_});
    if (r.status != 0) {
        reason_ = "cannot create a network namespace: " + r.err;
        name_.clear();
        return;
    }
    r = Exec("ip link set lo up");
    if (r.status != 0) {
        reason_ = "cannot bring up loopback in the namespace: " + r.err;
        return;
    }
    available_ = true;
}

NetNs::~NetNs() {
    if (!name_.empty())
        Run({"ip", "netns", "del", name_});
    if (etcDir_)
        std::filesystem::remove_all("/etc/netns/" + name_);
}

bool NetNs::WriteEtcFile(const std::string& file, const std::string& content) {
    if (name_.empty() || file.find('/') != std::string::npos)
        return false;
    const std::filesystem::path dir = "/etc/netns/" + name_;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        return false;
    etcDir_ = true;
    std::ofstream out(dir / file, std::ios::binary | std::ios::trunc);
    out << content;
    return bool(out.flush());
}

CommandResult NetNs::Exec(const std::string& command, int timeoutMs) const {
    return Run(Wrap({"/bin/sh", "-c", command}), {}, timeoutMs);
}

std::vector<std::string> NetNs::Wrap(const std::vector<std::string>& argv) const {
    std::vector<std::string> out = {"ip", "netns", "exec", name_};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

bool NetNs::EnterThisThread() const {
    int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

int NetNs::RunInside(const std::function<int()>& fn, int timeoutMs) const {
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
            _exit(255);
        _exit(fn() & 0xff);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

InNetNs::InNetNs(const NetNs& ns) {
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    ok_ = home_ >= 0 && ns.EnterThisThread();
}

InNetNs::~InNetNs() {
    if (ok_ && ::setns(home_, CLONE_NEWNET) != 0)
        std::abort(); // the rest of the run would look at the wrong network
    if (home_ >= 0)
        ::close(home_);
}

} // namespace qordex::test
