#pragma once
// What the HTTP server tool does, without its window: it runs a THttpServer
// with its own connection class, logs each request (and, when asked, its
// header lines), answers the server-variables page and the form-posting
// example, and keeps the connected clients' lines.  The window and
// `qordex-cli http-server` both drive it.

#include "web/HttpSrv.h"

#include <functional>
#include <string>
#include <vector>

namespace qordex::web {

// The tool's connection: it collects the body of a POST to "/Form".
class TMyHttpConnection : public THttpConnection {
public:
    std::string PostedData;      // the posted bytes, plus a terminating zero
    long long PostedDataLen = 0; // bytes received into it
};

class THttpServTool {
public:
    // The largest body the form example accepts; a longer one gets 413.
    static constexpr long long kMaxPostedData = 1024 * 1024;

    THttpServTool();
    ~THttpServTool();

    // Each log line, as the window's pane shows it.
    std::function<void(const std::string& line)> OnLog;
    std::function<void()> OnStarted;
    std::function<void()> OnStopped;
    // A client came (its line is added) or left: `line` is removed, or, when
    // it was the last connection, the whole list is emptied (`clearAll`).
    std::function<void(const std::string& line)> OnClientAdded;
    std::function<void(const std::string& line, bool clearAll)> OnClientRemoved;

    bool ShowHeaders = false;

    THttpServer& Server() { return server_; }
    const THttpServer& Server() const { return server_; }
    // Copies the settings into the engine and starts it; a port that cannot
    // be bound throws ESocketException.
    void Start(const std::string& addr, const std::string& port, int maxClients,
               const std::string& docDir, const std::string& defaultDoc);
    void Stop();
    bool Running() const { return server_.Listening(); }
    int RequestCount() const { return requestCount_; }

    // The client's line in the list: its number in hexadecimal, " | ",
    // the peer address, " : ", the peer port.
    static std::string ClientLine(THttpConnection* client);
    // Shuts down the sending side of the client a list line names; false
    // when none lives.
    bool Disconnect(const std::string& clientLine);

    // The five texts of the self-test help.
    static std::vector<std::string> HelpTexts();
    // The value of field `name` in form data, decoded ("+" is a space).
    static std::string FormField(std::string_view data, std::string_view name);

private:
    void Log(const std::string& line);
    void LogRequest(THttpConnection* c, const char* what);
    void GetDocument(THttpConnection* c, THttpGetFlag& flag);
    void PostDocument(THttpConnection* c, THttpGetFlag& flag);
    void PostedData(THttpConnection* c);
    void SendVariables(THttpConnection* c);
    void SendForm(TMyHttpConnection* c);

    THttpServer server_;
    int requestCount_ = 0;
};

} // namespace qordex::web
