#pragma once
// A socat echo server on 127.0.0.1 (TCP or UDP), stopped with the object.

#include "support/Process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace qordex::test {

struct SocatEcho {
    int port = 0;
    std::unique_ptr<Background> proc;

    explicit SocatEcho(bool udp = false) {
        port = udp ? FreeUdpPort() : FreeTcpPort();
        const std::string p = std::to_string(port);
        proc = std::make_unique<Background>(
            std::vector<std::string>{"socat",
                                     udp ? "UDP4-RECVFROM:" + p + ",bind=127.0.0.1,fork"
                                         : "TCP4-LISTEN:" + p + ",bind=127.0.0.1,reuseaddr,fork",
                                     "PIPE"});
        EXPECT_TRUE(udp ? WaitForUdpEcho() : WaitForTcpPort(port, 10000));
    }
    // A datagram comes back once socat has bound its port.
    bool WaitForUdpEcho() {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(std::uint16_t(port));
        bool ok = false;
        for (int i = 0; i < 100 && !ok; ++i) {
            ::sendto(fd, "probe", 5, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            pollfd p{fd, POLLIN, 0};
            char buf[16];
            ok = ::poll(&p, 1, 100) == 1 && ::recv(fd, buf, sizeof buf, 0) == 5;
        }
        ::close(fd);
        return ok;
    }
    std::string Port() const { return std::to_string(port); }
};

} // namespace qordex::test
