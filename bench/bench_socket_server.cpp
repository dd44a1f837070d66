// Socket server speed: an echo server built on TWSocketServer against a
// plain poll() echo server on system sockets and against socat, all on
// loopback in the same run, driven by the same blocking load threads.
//   * accept rate: connections made one after the other, each sending a
//     short message, reading its echo and closing;
//   * echo throughput: several connections at once, each sending a large
//     block and reading it back.
//
//   bench_socket_server [connections] [MiB per connection] [runs]

#include "BenchSupport.h"
#include "net/WSocketServer.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/wait.h>
#include <thread>

using namespace qordex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kParallel = 8;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

int ConnectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

bool ReadExactly(int fd, char* buf, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::read(fd, buf, n);
        if (r <= 0)
            return false;
        buf += r;
        n -= std::size_t(r);
    }
    return true;
}

bool WriteAll(int fd, const char* buf, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::write(fd, buf, n);
        if (r <= 0)
            return false;
        buf += r;
        n -= std::size_t(r);
    }
    return true;
}

// Connections per second, one after the other.
double AcceptRate(int port, int connections) {
    const char msg[32] = "ping ping ping ping ping ping!!";
    const auto t0 = Clock::now();
    double worst = 0;
    int slow = 0;
    for (int i = 0; i < connections; ++i) {
        const auto c0 = Clock::now();
        int fd = ConnectTo(port);
        char back[sizeof msg];
        if (fd < 0 || !WriteAll(fd, msg, sizeof msg) || !ReadExactly(fd, back, sizeof back)) {
            std::fprintf(stderr, "accept run failed at connection %d\n", i);
            if (fd >= 0)
                ::close(fd);
            return 0;
        }
        ::close(fd);
        const double took = Seconds(c0, Clock::now());
        worst = std::max(worst, took);
        slow += took > 0.010;
    }
    if (getenv("BENCH_DEBUG"))
        std::fprintf(stderr, "worst %.1f ms, %d over 10 ms\n", worst * 1000, slow);
    return connections / Seconds(t0, Clock::now());
}

// MiB/s echoed by kParallel connections at once.
double EchoRate(int port, std::size_t bytesEach) {
    std::vector<std::thread> threads;
    std::atomic<bool> ok{true};
    const std::string block(bytesEach, 'e');
    const auto t0 = Clock::now();
    for (int c = 0; c < kParallel; ++c) {
        threads.emplace_back([&] {
            int fd = ConnectTo(port);
            if (fd < 0) {
                ok = false;
                return;
            }
            std::thread writer([&] {
                if (!WriteAll(fd, block.data(), block.size()))
                    ok = false;
            });
            std::vector<char> buf(1 << 16);
            std::size_t got = 0;
            while (got < bytesEach) {
                ssize_t r = ::read(fd, buf.data(), buf.size());
                if (r <= 0) {
                    ok = false;
                    break;
                }
                got += std::size_t(r);
            }
            writer.join();
            ::close(fd);
        });
    }
    for (auto& t : threads)
        t.join();
    if (!ok)
        return 0;
    return double(bytesEach) * kParallel / (1 << 20) / Seconds(t0, Clock::now());
}

// Runs the load on a thread while the calling thread's loop serves.
double WhilePumping(const std::function<double()>& load) {
    std::atomic<bool> done{false};
    double result = 0;
    std::thread t([&] {
        result = load();
        done = true;
    });
    PumpUntil([&] { return done.load(); });
    t.join();
    return result;
}

// The baseline: an echo server on plain non-blocking sockets and poll().
class PlainEchoServer {
public:
    PlainEchoServer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(listen_, 128);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~PlainEchoServer() {
        stop_ = true;
        thread_.join();
        for (auto& c : conns_)
            ::close(c.fd);
        ::close(listen_);
    }
    int Port() const { return port_; }

private:
    struct Conn {
        int fd;
        std::string out; // echo not yet written
    };
    void Run() {
        std::vector<char> buf(1 << 16);
        while (!stop_) {
            std::vector<pollfd> fds{{listen_, POLLIN, 0}};
            for (auto& c : conns_)
                fds.push_back({c.fd, short(c.out.empty() ? POLLIN : POLLOUT), 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            for (std::size_t i = conns_.size(); i-- > 0;) {
                Conn& c = conns_[i];
                const short ev = fds[i + 1].revents;
                bool drop = false;
                if (ev & POLLOUT) {
                    ssize_t w = ::write(c.fd, c.out.data(), c.out.size());
                    if (w > 0)
                        c.out.erase(0, std::size_t(w));
                    else if (errno != EAGAIN)
                        drop = true;
                } else if (ev & (POLLIN | POLLHUP | POLLERR)) {
                    ssize_t r = ::read(c.fd, buf.data(), buf.size());
                    if (r > 0) {
                        ssize_t w = ::write(c.fd, buf.data(), std::size_t(r));
                        if (w < 0)
                            w = errno == EAGAIN ? 0 : -1;
                        if (w < 0)
                            drop = true;
                        else
                            c.out.assign(buf.data() + w, std::size_t(r - w));
                    } else if (r == 0 || errno != EAGAIN) {
                        drop = true;
                    }
                }
                if (drop) {
                    ::close(c.fd);
                    conns_.erase(conns_.begin() + std::ptrdiff_t(i));
                }
            }
            if (fds[0].revents & POLLIN)
                for (int fd; (fd = ::accept4(listen_, nullptr, nullptr,
                                             SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
                    conns_.push_back({fd, {}});
        }
    }
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<Conn> conns_;
    std::thread thread_;
};

// Our echo server on the calling thread.
struct OwnEchoServer {
    TWSocketServer server;
    OwnEchoServer() {
        server.SetAddr("127.0.0.1");
        server.SetPort("0");
        server.SetBanner("");
        server.SetListenBacklog(128);
        server.OnClientConnect = [](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
            c->OnDataAvailable = [](TCustomWSocket* s, std::uint16_t) {
                char buf[65536];
                int n = s->Receive(buf, sizeof buf);
                if (n > 0)
                    s->Send(buf, n);
            };
        };
        server.Listen();
    }
    int Port() { return std::stoi(server.GetBoundPort()); }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int connections = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    const std::size_t bytesEach = mib << 20;

    OwnEchoServer own;
    PlainEchoServer plain;
    const int socatPort = bench::FreePort();
    const pid_t socat = bench::Spawn(
        {"socat",
         "TCP4-LISTEN:" + std::to_string(socatPort) + ",bind=127.0.0.1,reuseaddr,fork,backlog=128",
         "PIPE"},
        true);
    for (int i = 0; i < 200 && socat > 0 && !bench::PortOpen(socatPort); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const bool haveSocat = socat > 0 && bench::PortOpen(socatPort);

    std::vector<double> ownAcc, plainAcc, socatAcc, ownEcho, plainEcho, socatEcho;
    for (int r = 0; r < runs; ++r) {
        const int ownPort = own.Port();
        ownAcc.push_back(WhilePumping([&] { return AcceptRate(ownPort, connections); }));
        plainAcc.push_back(AcceptRate(plain.Port(), connections));
        ownEcho.push_back(WhilePumping([&] { return EchoRate(ownPort, bytesEach); }));
        plainEcho.push_back(EchoRate(plain.Port(), bytesEach));
        if (haveSocat) {
            socatAcc.push_back(AcceptRate(socatPort, connections / 4));
            socatEcho.push_back(EchoRate(socatPort, bytesEach));
        }
        std::printf("run %d: accept/s own %.0f plain %.0f; echo MiB/s own %.0f plain %.0f\n", r + 1,
                    ownAcc.back(), plainAcc.back(), ownEcho.back(), plainEcho.back());
    }
    if (socat > 0) {
        ::kill(socat, SIGTERM);
        ::waitpid(socat, nullptr, 0);
    }
    const double oa = bench::Median(ownAcc), pa = bench::Median(plainAcc);
    const double oe = bench::Median(ownEcho), pe = bench::Median(plainEcho);
    std::printf(
        "TWSocketServer echo, %d connections one by one, %d x %zu MiB at once (median of %d):\n",
        connections, kParallel, mib, runs);
    std::printf("  accept rate   : %.0f conn/s, plain poll() server %.0f conn/s, ratio %.2f\n", oa,
                pa, pa > 0 ? oa / pa : 0);
    std::printf("  echo through  : %.0f MiB/s, plain poll() server %.0f MiB/s, ratio %.2f\n", oe,
                pe, pe > 0 ? oe / pe : 0);
    if (haveSocat) {
        const double sa = bench::Median(socatAcc), se = bench::Median(socatEcho);
        std::printf("  socat (fork)  : %.0f conn/s (ratio %.2f), %.0f MiB/s (ratio %.2f)\n", sa,
                    sa > 0 ? oa / sa : 0, se, se > 0 ? oe / se : 0);
    } else {
        std::printf("  socat         : not installed, skipped\n");
    }
    return 0;
}
