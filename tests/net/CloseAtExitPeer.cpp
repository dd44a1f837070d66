// A program that sends a block of bytes, closes its socket and returns from
// main at once: what was still queued must reach the peer all the same.
// Usage: net_close_at_exit_peer PORT BYTES

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    qordex::TWSocket s;
    bool connected = false;
    int error = 0;
    s.OnSessionConnected = [&](qordex::TCustomWSocket*, std::uint16_t e) {
        connected = true;
        error = e;
    };
    s.SetProto("tcp");
    s.SetAddr("127.0.0.1");
    s.SetPort(argv[1]);
    s.Connect();
    if (!qordex::PumpUntil([&] { return connected; }, 10000) || error)
        return 3;
    const std::size_t size = std::strtoul(argv[2], nullptr, 10);
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = char(i * 7 + i / 251);
    s.Send(data.data(), int(data.size()));
    s.Close();
    return 0;
}
