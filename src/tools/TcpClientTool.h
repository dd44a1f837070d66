#pragma once
// The TCP/UDP client tool without its window: one socket talking to any TCP
// or UDP service, directly or through a SOCKS 5 proxy, with a chosen line
// terminator; what it receives is shown as text lines and, on request, as
// hexadecimal frame lines.  The window and `qordex-cli tcp-client` share it.

#include "net/WSocket.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::tools {

// The items of the "Line end" list, in order; the fourth is the default.
extern const char* const kLineEndItems[5];
constexpr int kDefaultLineEndItem = 3;

// The terminator an item of the "Line end" list stands for; "NO" and
// anything unknown stand for none.
std::string LineEndFromItem(std::string_view item);

// One frame line: " " + each byte in upper-case hexadecimal without leading
// zero (bytes 0, 1, 65 give " 0 1 41").
std::string FrameHexLine(std::string_view bytes);

// The text view of one received block: the bytes up to the first zero byte;
// in text mode cut at every LF, each piece without the CR that ends it, and
// a non-empty rest after the last LF; otherwise the text as one entry.
std::vector<std::string> ReceivedTextEntries(std::string_view block, bool textMode);

// The lines of a message box as the user typed them: split at line breaks
// (LF, CR LF or CR); a break at the very end starts no further line.
std::vector<std::string> MessageLines(std::string_view text);

// What Send hands to the socket and the lines it shows: the first line, or
// with `multiline` every line, each followed by the terminator.
struct OutgoingMessage {
    std::string bytes;
    std::vector<std::string> shown;
};
OutgoingMessage BuildMessage(std::string_view text, bool multiline, const std::string& terminator);

struct TcpClientSettings {
    std::string server = "localhost";
    std::string port;
    bool udp = false;
    std::string lineEnd = "\r\n"; // empty: none, raw blocks
    bool useProxy = false;        // SOCKS 5
    std::string proxyAddress, proxyPort;
    bool proxyAuth = false;
    std::string proxyUser, proxyPassword;
};

class TTcpClientTool {
public:
    // Bytes read per data event: the tool's 4096-byte buffer less one.
    static constexpr int kReceiveBlock = 4095;

    TTcpClientTool();
    ~TTcpClientTool();
    TTcpClientTool(const TTcpClientTool&) = delete;
    TTcpClientTool& operator=(const TTcpClientTool&) = delete;

    // ---- what the tool reports (any of them may be left empty) ----
    // A line for the status pane ("Connecting...", "Disconnected", ...).
    std::function<void(const std::string& line)> OnStatus;
    // The session is up: Send works, the settings are locked.
    std::function<void()> OnConnected;
    // The Connect button may be used again: an attempt ended (either way),
    // an error or an abort.
    std::function<void()> OnConnectEnabled;
    // The session is over; the window is reset.
    std::function<void()> OnReset;
    // One received block: its frame line (when ShowFrame) and its text entries.
    std::function<void(const std::string* frame, const std::vector<std::string>& entries)>
        OnReceived;

    bool ShowFrame = false;
    bool TextMode = true;

    // Starts a connection and waits, pumping the loop, while it is being
    // made.  Does nothing and returns false unless server and port are
    // given.  Returns false as well when the tool was freed meanwhile.
    bool Connect(const TcpClientSettings& settings);
    // Sends the message box's text; false (nothing sent) unless connected.
    bool Send(std::string_view text, bool multiline, std::vector<std::string>* shown = nullptr);
    // Sends bytes as they are; false unless connected.
    bool SendRaw(const std::string& bytes);
    // Closes a connected session gracefully.
    void Disconnect();
    // Drops the connection at once: "Disconnected", then "Aborted".
    void Abort();

    bool Connected() const;
    // The terminator of the current session.
    const std::string& Terminator() const { return terminator_; }
    TWSocket& Socket() { return CliSocket; }

private:
    void SessionConnected(std::uint16_t error);
    void DataAvailable();
    void SessionClosed();
    void Error();
    void Status(const std::string& line);
    void Reset();
    // Connect usable again, the window reset, then `line` in the status pane.
    void ResetWith(const std::string& line);

    TWSocket CliSocket;
    std::string terminator_;
    char buffer_[kReceiveBlock + 1];
    int fill_ = 0;
    std::shared_ptr<char> alive_;
};

} // namespace qordex::tools
