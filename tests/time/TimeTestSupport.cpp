#include "time/TimeTestSupport.h"

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qordex::test {

int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

int HoldTcpPort37() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(37);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(fd, 1) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string RunTimeClients(const NetNs& ns, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     QORDEX_SOURCE_DIR "/tests/time/time_clients.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    Background p(ns.Wrap(argv));
    EXPECT_TRUE(PumpUntil([&] { return !p.Running(); }, 120000));
    return p.Output();
}

} // namespace qordex::test
