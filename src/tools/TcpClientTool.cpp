#include "tools/TcpClientTool.h"

#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <cstring>

namespace qordex::tools {

const char* const kLineEndItems[5] = {"LF (10)", "CR (13)", "LF CR (10 13)", "CR LF (13 10)", "NO"};

std::string LineEndFromItem(std::string_view item) {
    if (item == kLineEndItems[0])
        return "\n";
    if (item == kLineEndItems[1])
        return "\r";
    if (item == kLineEndItems[2])
        return "\n\r";
    if (item == kLineEndItems[3])
        return "\r\n";
    return {};
}

std::string FrameHexLine(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(bytes.size() * 3);
    for (unsigned char b : bytes) {
        line += ' ';
        if (b >= 16)
            line += digits[b >> 4];
        line += digits[b & 15];
    }
    return line;
}

std::vector<std::string> ReceivedTextEntries(std::string_view block, bool textMode) {
    const std::string_view text = block.substr(0, block.find('\0'));
    std::vector<std::string> entries;
    if (!textMode) {
        entries.emplace_back(text);
        return entries;
    }
    std::size_t start = 0;
    for (std::size_t lf; (lf = text.find('\n', start)) != std::string_view::npos; start = lf + 1) {
        std::string_view piece = text.substr(start, lf - start);
        if (!piece.empty() && piece.back() == '\r')
            piece.remove_suffix(1);
        entries.emplace_back(piece);
    }
    if (start < text.size())
        entries.emplace_back(text.substr(start));
    return entries;
}

std::vector<std::string> MessageLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

OutgoingMessage BuildMessage(std::string_view text, bool multiline, const std::string& terminator) {
    OutgoingMessage out;
    std::vector<std::string> lines = MessageLines(text);
    if (!multiline)
        lines.resize(1); // an empty box still sends its terminator
    for (const std::string& line : lines) {
        out.bytes += line;
        out.bytes += terminator;
        out.shown.push_back(line);
    }
    return out;
}

// ---- the session ----------------------------------------------------------------

TTcpClientTool::TTcpClientTool() : alive_(std::make_shared<char>(0)) {
    CliSocket.SetProto("tcp");
    CliSocket.SetLineMode(false);
    CliSocket.SetLineEnd("\r\n");
    CliSocket.SetSocksLevel("5");
    CliSocket.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
        SessionConnected(e);
    };
    CliSocket.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { DataAvailable(); };
    CliSocket.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) { SessionClosed(); };
    CliSocket.OnError = [this](TCustomWSocket*) { Error(); };
}

TTcpClientTool::~TTcpClientTool() {
    alive_.reset();
    OnStatus = nullptr;
    OnConnected = nullptr;
    OnConnectEnabled = nullptr;
    OnReset = nullptr;
    OnReceived = nullptr;
}

bool TTcpClientTool::Connected() const {
    return CliSocket.State() == wsConnected;
}

void TTcpClientTool::Status(const std::string& line) {
    if (auto h = OnStatus)
        h(line);
}

bool TTcpClientTool::Connect(const TcpClientSettings& s) {
    if (s.server.empty() || s.port.empty() || CliSocket.State() != wsClosed)
        return false;
    fill_ = 0;
    CliSocket.SetProto(s.udp ? "udp" : "tcp");
    CliSocket.SetLineEcho(false);
    CliSocket.SetLineEdit(false);
    CliSocket.SetLineLimit(65536);
    terminator_ = s.lineEnd;
    CliSocket.SetLineEnd(terminator_);
    CliSocket.SetLineMode(!terminator_.empty());
    CliSocket.SetPort(s.port);
    CliSocket.SetAddr(s.server);
    if (s.useProxy) {
        CliSocket.SetSocksLevel("5");
        CliSocket.SetSocksServer(s.proxyAddress);
        CliSocket.SetSocksPort(s.proxyPort);
        if (s.proxyAuth) {
            CliSocket.SetSocksAuthentication(socksAuthenticateUsercode);
            CliSocket.SetSocksUsercode(s.proxyUser);
            CliSocket.SetSocksPassword(s.proxyPassword);
        } else {
            CliSocket.SetSocksAuthentication(socksNoAuthentication);
            CliSocket.SetSocksUsercode("");
            CliSocket.SetSocksPassword("");
        }
    } else {
        CliSocket.SetSocksServer("");
        CliSocket.SetSocksPort("");
    }
    Status("Connecting...");
    const std::weak_ptr<char> alive = alive_;
    CliSocket.Connect();
    if (alive.expired())
        return false;
    // A local loop keeps the window answering (Abort included) meanwhile.
    PumpUntil([&] {
        return alive.expired() || QCoreApplication::closingDown() ||
               CliSocket.State() != wsConnecting;
    });
    return !alive.expired();
}

void TTcpClientTool::SessionConnected(std::uint16_t error) {
    const std::weak_ptr<char> alive = alive_;
    if (auto h = OnConnectEnabled)
        h();
    if (alive.expired())
        return;
    if (error != 0) {
        // The close that follows resets the window.
        Status("Can't connect, error #" + std::to_string(error));
        return;
    }
    Status("Connected, local port: " + CliSocket.GetBoundPort());
    if (!alive.expired())
        if (auto h = OnConnected)
            h();
}

void TTcpClientTool::DataAvailable() {
    const std::weak_ptr<char> alive = alive_;
    int n = CliSocket.Receive(buffer_ + fill_, kReceiveBlock - fill_);
    if (alive.expired() || n <= 0)
        return;
    // Only what this read brought is shown: the buffer is emptied after each
    // block, so nothing of an earlier, longer block can show through.
    const std::string_view block(buffer_, std::size_t(fill_ + n));
    fill_ = 0;
    std::string frame;
    if (ShowFrame)
        frame = FrameHexLine(block);
    const std::vector<std::string> entries = ReceivedTextEntries(block, TextMode);
    if (auto h = OnReceived)
        h(ShowFrame ? &frame : nullptr, entries);
}

void TTcpClientTool::Reset() {
    if (auto h = OnReset)
        h();
}

void TTcpClientTool::ResetWith(const std::string& line) {
    const std::weak_ptr<char> alive = alive_;
    if (auto h = OnConnectEnabled)
        h();
    if (alive.expired())
        return;
    Reset();
    if (!alive.expired())
        Status(line);
}

void TTcpClientTool::SessionClosed() {
    const std::weak_ptr<char> alive = alive_;
    Reset();
    if (!alive.expired())
        Status("Disconnected");
}

void TTcpClientTool::Error() {
    ResetWith("Connection error");
}

bool TTcpClientTool::SendRaw(const std::string& bytes) {
    if (!Connected())
        return false;
    CliSocket.Send(bytes.data(), int(bytes.size()));
    return true;
}

bool TTcpClientTool::Send(std::string_view text, bool multiline, std::vector<std::string>* shown) {
    if (!Connected())
        return false;
    OutgoingMessage out = BuildMessage(text, multiline, terminator_);
    if (shown)
        *shown = out.shown;
    if (!out.bytes.empty())
        CliSocket.Send(out.bytes.data(), int(out.bytes.size()));
    return true;
}

void TTcpClientTool::Disconnect() {
    if (Connected())
        CliSocket.Close();
}

void TTcpClientTool::Abort() {
    const std::weak_ptr<char> alive = alive_;
    CliSocket.Abort();
    if (!alive.expired())
        ResetWith("Aborted");
}

} // namespace qordex::tools
