#pragma once
// Plain UDP sockets for the listener and broadcast tests: a sender that can
// choose its source address, and a receiver that reports each datagram's
// source.

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace qordex::test {

// A bound UDP socket on loopback; closed when it goes away.
class PlainUdp {
public:
    explicit PlainUdp(const char* addr = "127.0.0.1", std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = inet_addr(addr);
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~PlainUdp() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    PlainUdp(const PlainUdp&) = delete;
    PlainUdp& operator=(const PlainUdp&) = delete;

    bool Ok() const { return fd_ >= 0; }
    std::uint16_t Port() const {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        return ntohs(sa.sin_port);
    }
    bool SendTo(std::uint16_t port, const std::string& bytes, const char* to = "127.0.0.1") const {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = inet_addr(to);
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                        sizeof sa) == ssize_t(bytes.size());
    }
    // Waits up to `timeoutMs` for one datagram; false when none came.
    bool Receive(std::string& bytes, sockaddr_in& from, int timeoutMs = 10000) const {
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[70000];
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return false;
        bytes.assign(buf, std::size_t(n));
        return true;
    }

private:
    int fd_ = -1;
};

} // namespace qordex::test
