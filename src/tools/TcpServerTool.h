#pragma once
// The TCP server tool without its window: a socket server that greets every
// client with a banner, shows what the clients send (as text lines and, on
// request, as hexadecimal frame lines), can echo it, and sends messages to
// a chosen client.  The window and `qordex-cli tcp-server` share it.

#include "net/WSocketServer.h"
#include "tools/TcpClientTool.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::tools {

// One client of the tool: a receive buffer and the time it connected.
class TTcpSrvClient : public TWSocketClient {
public:
    static constexpr int kBufferSize = 4096;
    char RcvBuf[kBufferSize];
    int RcvCnt = 0;
    std::chrono::steady_clock::time_point ConnectTime;
};

struct TcpServerSettings {
    std::string port;
    std::string banner = "Welcome to Qordex TCP server";
    std::string maxClients; // empty: no limit
    std::string lineEnd = "\r\n"; // empty: none, data in blocks
};

class TTcpServerTool {
public:
    // Bytes held without a terminator before a client is dropped.
    static constexpr int kLineLimit = 65536;

    // "00000001| 127.0.0.1:40000" for a client.
    static std::string EntryOf(TWSocketClient* client);

    TTcpServerTool();
    ~TTcpServerTool();
    TTcpServerTool(const TTcpServerTool&) = delete;
    TTcpServerTool& operator=(const TTcpServerTool&) = delete;

    TWSocketServer WSocketServer1;

    bool Echo = false;      // send received bytes back
    bool ShowFrame = false; // also show received bytes in hexadecimal
    bool TextMode = true;   // split received text into lines

    std::function<void(const std::string& line)> OnStatus; // the status pane
    std::function<void(const std::string& line)> OnData;   // the data pane
    std::function<void(const std::string& entry)> OnClientAdded;
    std::function<void(const std::string& entry)> OnClientRemoved;
    // Running or stopped: the window locks or frees its settings.
    std::function<void(bool running)> OnRunning;

    // Starts listening; false (and stopped) when the port is empty, the
    // client limit is no number or the port cannot be listened on, each
    // but the first with its reason in the status pane.
    bool Start(const TcpServerSettings& settings);
    // Asks every client to close, stops listening, "Server closed.".
    void Stop();
    // Stops listening at once, for a closing window; the clients go with the tool.
    void Shutdown();
    bool Running() const { return WSocketServer1.State() == wsListening; }

    // Sends the first line of `text` (or every line, with `multiline`), each
    // with the terminator, to the client of `entry`; false when that client
    // is gone.
    bool Send(const std::string& entry, std::string_view text, bool multiline);
    // Closes the client of `entry` from the loop; nothing when it is gone.
    void Disconnect(const std::string& entry);
    // The client list, in the order the clients came.
    const std::vector<std::string>& Entries() const { return entries_; }
    // The client an entry names, or null when it is gone.
    TTcpSrvClient* ClientOf(const std::string& entry) const;
    const std::string& Terminator() const { return terminator_; }

private:
    void ClientConnect(TWSocketClient* client, std::uint16_t error);
    void ClientDisconnect(TWSocketClient* client);
    void DataAvailable(TTcpSrvClient* client);
    void Status(const std::string& line);
    void Data(const std::vector<std::string>& lines);
    void Stopped();
    void RemoveEntry(const std::string& entry);

    TcpServerSettings settings_;
    std::string terminator_;
    std::vector<std::string> entries_;
};

} // namespace qordex::tools
