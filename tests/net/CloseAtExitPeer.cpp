// A program that sends a block of bytes on each of its sockets, closes them
// and returns from main at once: what was still queued must reach the peers
// all the same, and peers that never read must not keep the program alive
// long.  It prints "leaving" just before main returns.
// Usage: net_close_at_exit_peer PORT BYTES [SOCKETS]

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3 && argc != 4)
        return 2;
    const int count = argc == 4 ? std::atoi(argv[3]) : 1;
    std::vector<std::unique_ptr<qordex::TWSocket>> sockets;
    int connected = 0, failed = 0;
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<qordex::TWSocket>();
        s->OnSessionConnected = [&](qordex::TCustomWSocket*, std::uint16_t e) {
            ++connected;
            failed += e != 0;
        };
        s->SetProto("tcp");
        s->SetAddr("127.0.0.1");
        s->SetPort(argv[1]);
        s->Connect();
        sockets.push_back(std::move(s));
    }
    if (!qordex::PumpUntil([&] { return connected == count; }, 10000) || failed)
        return 3;
    const std::size_t size = std::strtoul(argv[2], nullptr, 10);
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = char(i * 7 + i / 251);
    for (auto& s : sockets) {
        s->Send(data.data(), int(data.size()));
        s->Close();
    }
    std::printf("leaving\n");
    std::fflush(stdout);
    return 0;
}
