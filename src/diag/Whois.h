#pragma once
// The whois query of the Whois window and `qordex-cli whois`: the registry
// table, and one query over a TWSocket (directly or through a SOCKS 5
// proxy) whose answer is split into lines until the server closes.  There
// are no referrals: one query goes to one server.

#include "diag/WhoisLines.h"
#include "net/Socks5Settings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qordex {
class TWSocket;
}

namespace qordex::diag {

struct WhoisRegistry {
    const char* name;     // the entry of the server list
    int logo;             // index of its logo
    const char* status;   // status bar text (Latin-1 bytes)
    const char* server;   // its whois server
    const char* homePage; // opened by a click on its logo
};

// The seven registries, in the order the server list offers them.
const std::vector<WhoisRegistry>& WhoisRegistries();
// Logo shown for a server typed by hand.
constexpr int kWhoisTypedLogo = 7;
// The registry an entry names (matched exactly), or null for a typed server.
const WhoisRegistry* FindWhoisRegistry(const std::string& entry);
// The server host of an entry: the registry's, or the text itself.
std::string WhoisServerFor(const std::string& entry);

// Status texts of a query, in the order they come.
std::string WhoisConnectingText(const std::string& server);
std::string WhoisRequestingText(const std::string& query);
inline const std::string kWhoisClosed = "Connection closed";
inline const std::string kWhoisError = "Connection error";
inline const std::string kWhoisCancelled = "Whois cancelled.";

enum class TWhoisEnd {
    Closed,    // the server closed the connection after the query
    Error,     // the connection (or the proxy) failed; nothing was asked
    Cancelled, // Cancel
};

class TWhoisClient {
public:
    TWhoisClient();
    // Aborts a running query without events.
    ~TWhoisClient();
    TWhoisClient(const TWhoisClient&) = delete;
    TWhoisClient& operator=(const TWhoisClient&) = delete;

    struct Request {
        std::string server; // host name or dotted address
        std::string port;   // number or service name
        std::string query;  // one line, sent with CR LF
        TSocks5Settings socks;
    };

    // Starts a query and returns at once; false (nothing happens) while one
    // runs or when a field is empty.
    bool Start(const Request& request);
    // Ends a running query: the lines so far and the partial line are
    // handed on, then "Whois cancelled.".  Nothing when idle.
    void Cancel();
    // Drops a running query without any event (the window is closing).
    void Abort();

    bool Busy() const { return busy_; }
    // From the connection until the end of the answer.
    bool Connected() const { return connected_; }
    TWSocket& CliSocket() { return *socket_; }

    // Events, from the message loop.  A handler may not destroy the client.
    std::function<void(const std::string& status)> OnStatus;
    std::function<void(const std::string& line)> OnLine; // bytes of one answer line
    std::function<void(TWhoisEnd end)> OnDone;

private:
    void Connect();
    void SessionConnected(std::uint16_t error);
    void DataAvailable();
    void SessionClosed();
    void Fail();
    void End(TWhoisEnd end);
    void Status(const std::string& text);
    void Lines(const std::vector<std::string>& lines);

    std::unique_ptr<TWSocket> socket_;
    TWhoisLineSplitter splitter_;
    Request request_;
    bool busy_ = false;
    bool connected_ = false;
};

} // namespace qordex::diag
