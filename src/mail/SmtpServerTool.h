#pragma once
// The SMTP server tool without its window: runs a TSmtpServer, logs its
// dialogue, keeps the table of connected clients and stores every received
// message as a ".eml" file named after its recipient and the time of DATA.
// The window and `qordex-cli smtp-server` share it.

#include "mail/SmtpServer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qordex::mail {

// The per-user folder where messages go by default, with a trailing "/".
std::string DefaultMailFolder();

// The file name a message gets: recipient + "-" + "ddmmyyhhmmss" of `when`
// (local time) and, when `counter` is above 0, "-" + counter, + ".eml".
// An empty recipient reads "null".  Only the first 200 bytes of the
// recipient are used, so that the name stays within the system's limit.
std::string MessageFileName(const std::string& recipient, std::int64_t when, int counter);

class TSmtpServerTool {
public:
    // A row of the client list: identifier, "address:port", recipient,
    // user, sender, message file ("null" for the last four when not known).
    using Row = std::vector<std::string>;

    TSmtpServerTool();
    ~TSmtpServerTool();
    TSmtpServerTool(const TSmtpServerTool&) = delete;
    TSmtpServerTool& operator=(const TSmtpServerTool&) = delete;

    TSmtpServer Server; // created with the defaults the tool's window shows

    // Where messages are stored, with a trailing separator; made when needed.
    std::string Folder;

    std::function<void(const std::string& line)> OnLog;
    std::function<void(const Row& row)> OnRowAdded;
    std::function<void(const Row& row)> OnRowChanged;     // keyed by row[0]
    std::function<void(const std::string& id)> OnRowRemoved;
    // A message file was closed: its path and whether it holds the whole message.
    std::function<void(const std::string& path, bool complete)> OnStored;

    // Copies the settings into the server and listens; "Server started".
    // Throws ESocketException when it cannot listen.
    void Start(const std::string& addr, const std::string& port, const std::string& hello);
    // Stops listening; "Server closed."  Connected clients stay.
    void Stop();
    bool Running() const { return Server.Active(); }

    // Drops the client listed as `id` ("Disconnecting"); an id whose client
    // is gone does nothing.
    void Disconnect(const std::string& id);
    // Drops every listed client, for a closing window.
    void DisconnectAll();

    // The client list, in the order the clients came.
    std::vector<Row> Rows() const;

private:
    struct Conn {
        Row row;
        int fd = -1; // the open message file
        std::string path;
        bool failed = false;
        bool receiving = false; // the message's first block was logged
    };
    Conn* Find(TSmtpClient* client);
    static std::string Id(TSmtpClient* client);
    void Log(const std::string& line);
    void Changed(Conn& c);
    void OpenMessage(TSmtpClient* client, Conn& c);
    void CloseMessage(Conn& c, bool complete);
    void Drop(std::uint32_t id);

    std::map<std::uint32_t, Conn> conns_; // the listed clients, by identifier
    std::string lastName_; // the name (counter 0) of the last message stored
    int lastCounter_ = 0;  // and the counter it got
};

} // namespace qordex::mail
