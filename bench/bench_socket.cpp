// Socket throughput: one TWSocket sender and one TWSocket receiver over
// loopback against a plain blocking socket pair moving the same bytes in the
// same run, plus the lateness of a 10 ms timer on the sockets' threads while
// the transfer runs, and the memory a connection's send buffer keeps once it
// is idle again after a large send.
//
//   bench_socket [MiB per run] [runs]

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace qordex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReadChunk = 256 * 1024; // what a receiver asks for per call
constexpr int kSlice = 4 << 20;        // what a sender hands over per call

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    std::size_t i = std::min(v.size() - 1, std::size_t(p * double(v.size())));
    return v[i];
}

// Lateness of a repeating 10 ms timer on the calling thread, in ms.
struct TimerProbe {
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    std::vector<double> late;
    TimerProbe() {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            qint64 now = clock.nsecsElapsed();
            late.push_back(std::max(0.0, double(now - last) / 1e6 - 10.0));
            last = now;
        });
        clock.start();
        timer.start();
    }
};

double PlainRun(long long total) {
    int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(ls, 1);
    socklen_t len = sizeof a;
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
    int cs = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(cs, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int rs = ::accept(ls, nullptr, nullptr);
    ::close(ls);
    auto start = Clock::now();
    std::thread sender([&] {
        std::string buf(kSlice, 'p');
        long long left = total;
        while (left > 0) {
            ssize_t n = ::send(cs, buf.data(), std::size_t(std::min<long long>(left, kSlice)),
                               MSG_NOSIGNAL);
            if (n <= 0)
                break;
            left -= n;
        }
    });
    std::string buf(kReadChunk, '\0');
    long long got = 0;
    while (got < total) {
        ssize_t n = ::recv(rs, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        got += n;
    }
    auto end = Clock::now();
    sender.join();
    ::close(cs);
    ::close(rs);
    return double(got) / Seconds(start, end);
}

struct WSocketResult {
    double rate = 0;
    std::vector<double> lateReceiver, lateSender;
};

// A listener on 127.0.0.1 that adopts one connection and counts what it reads.
struct CountingReceiver {
    TWSocket listener;
    TWSocket socket;
    long long got = 0;
    bool pauseOnAccept = false;      // read nothing until resumed
    std::function<void()> afterRead; // after each read that got bytes
    std::vector<char> buf = std::vector<char>(kReadChunk);

    CountingReceiver() {
        listener.SetProto("tcp");
        listener.SetAddr("127.0.0.1");
        listener.SetPort("0");
        socket.OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
            int n = s->Receive(buf.data(), int(buf.size()));
            if (n > 0) {
                got += n;
                if (afterRead)
                    afterRead();
            }
        };
        listener.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t) {
            socket.Dup(listener.Accept());
            if (pauseOnAccept)
                socket.Pause();
        };
        listener.Listen();
    }
    std::string Port() { return listener.GetBoundPort(); }
};

WSocketResult WSocketRun(long long total) {
    WSocketResult res;
    CountingReceiver receiver;
    const long long& got = receiver.got;
    Clock::time_point start{}, end{};
    receiver.afterRead = [&] {
        if (got >= total)
            end = Clock::now();
    };
    std::string port = receiver.Port();

    std::atomic<bool> senderDone{false};
    std::vector<double> senderLate;
    QThread* thread = QThread::create([&] {
        QEventLoop loop;
        TimerProbe probe;
        TWSocket sender;
        std::string chunk(kSlice, 's');
        long long sent = 0;
        auto more = [&] {
            int n = int(std::min<long long>(total - sent, (long long)chunk.size()));
            sender.Send(chunk.data(), n);
            sent += n;
        };
        sender.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) {
            start = Clock::now();
            more();
        };
        // The next slice goes out when the last one has drained, as the
        // engines send files.
        sender.OnDataSent = [&](TCustomWSocket*, std::uint16_t) {
            if (sent < total)
                more();
            else
                loop.quit();
        };
        sender.SetProto("tcp");
        sender.SetAddr("127.0.0.1");
        sender.SetPort(port);
        sender.Connect();
        loop.exec();
        sender.Close();
        senderLate = probe.late;
        senderDone = true;
    });
    thread->start();
    {
        TimerProbe probe;
        PumpUntil([&] { return got >= total; }, 120000);
        res.lateReceiver = probe.late;
    }
    thread->wait();
    delete thread;
    res.lateSender = senderLate;
    res.rate = double(got) / Seconds(start, end);
    return res;
}

// Sends `bytes` in one call to a reader that starts reading only once
// everything was handed to the socket (so nearly all of it waits in the send
// buffer), and returns what the send buffer holds at its peak and once it
// drained.
std::pair<std::size_t, std::size_t> SendBufferHeld(long long bytes) {
    CountingReceiver receiver;
    receiver.pauseOnAccept = true;
    TWSocket sender;
    bool connected = false;
    int drained = 0;
    sender.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
    sender.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++drained; };
    sender.SetProto("tcp");
    sender.SetAddr("127.0.0.1");
    sender.SetPort(receiver.Port());
    sender.Connect();
    PumpUntil([&] { return connected && receiver.socket.State() == wsConnected; }, 10000);
    PumpUntil([&] { return drained > 0; }, 10000); // the first "can send"
    drained = 0;
    std::string data(std::size_t(bytes), 'm');
    sender.Send(data.data(), int(data.size()));
    std::size_t peak = sender.SendBufferHeld();
    receiver.socket.Resume();
    PumpUntil([&] { return drained > 0 && receiver.got >= bytes; }, 60000);
    return {peak, sender.SendBufferHeld()};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    long long mib = argc > 1 ? std::atoll(argv[1]) : 512;
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    long long total = mib << 20;
    std::vector<double> plain, ws, ratio, lateR, lateS;
    for (int i = 0; i < runs; ++i) {
        double p = PlainRun(total);
        WSocketResult w = WSocketRun(total);
        plain.push_back(p);
        ws.push_back(w.rate);
        ratio.push_back(w.rate / p);
        lateR.insert(lateR.end(), w.lateReceiver.begin(), w.lateReceiver.end());
        lateS.insert(lateS.end(), w.lateSender.begin(), w.lateSender.end());
        std::printf("run %d: plain %.0f MiB/s, TWSocket %.0f MiB/s, ratio %.2f\n", i + 1,
                    p / 1048576.0, w.rate / 1048576.0, w.rate / p);
    }
    std::printf("socket throughput, %lld MiB per run, median of %d runs:\n", mib, runs);
    std::printf("  plain blocking pair : %.0f MiB/s\n", Median(plain) / 1048576.0);
    std::printf("  TWSocket pair       : %.0f MiB/s\n", Median(ws) / 1048576.0);
    std::printf("  ratio               : %.2f (target >= 0.80)\n", Median(ratio));
    std::printf("  10 ms timer lateness p99: receiver thread %.2f ms, sender thread %.2f ms "
                "(%zu + %zu ticks)\n",
                Percentile(lateR, 0.99), Percentile(lateS, 0.99), lateR.size(), lateS.size());
    auto [peak, idle] = SendBufferHeld(16LL << 20);
    std::printf("send buffer of one connection, 16 MiB sent in one call:\n");
    std::printf("  held while queued   : %zu bytes\n", peak);
    std::printf("  held once idle      : %zu bytes per connection\n", idle);
    return 0;
}
