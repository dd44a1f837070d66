#pragma once
// The FTP server tool without its window: one user (or anonymous logins),
// one shared folder, a permission per kind of operation, and the log lines
// the window shows.  The window and `qordex-cli ftp-server` share it.

#include "ftp/FtpSrv.h"

#include <functional>
#include <string>
#include <vector>

namespace qordex::ftp {

enum class FtpPermission { Get, Put, Rename, Dele, ChangeDir, MakeDir, RemoveDir };

// Parses "get,put,rename,..." into permissions; false on an unknown word.
bool ParsePermissions(const std::string& list, std::vector<FtpPermission>& out);

// The folder served when the sharing folder is the old default "c:\": a
// data folder of the user's own, created when missing.
std::string DefaultSharingFolder();

class TFtpServerTool {
public:
    TFtpServerTool();

    std::string UserName = "qordex";
    std::string Password = "tewlim";
    // Logins as "anonymous" or "ftp" with any password instead.
    bool Anonymous = false;
    std::string SharingDir;
    // Asked at each command, so a window's check boxes apply at once.
    std::function<bool(FtpPermission)> Allowed;
    // One log line.
    std::function<void(const std::string&)> OnLog;
    // Client count changed, the server started or stopped.
    std::function<void()> OnClientsChanged, OnStarted, OnStopped;

    TFtpServer& Server() { return server_; }

    // The startup block (identification, host name, socket library).
    std::vector<std::string> StartupLines() const;
    // Starts listening; ESocketException when that fails.
    void Start(const std::string& addr, const std::string& port);
    void Stop();
    // "Client N: ADDR/PORT" per client, or "No clients".
    std::vector<std::string> ClientLines();

private:
    void Log(const std::string& line);
    bool Permit(FtpPermission p) const { return Allowed ? Allowed(p) : false; }

    TFtpServer server_;
};

} // namespace qordex::ftp
