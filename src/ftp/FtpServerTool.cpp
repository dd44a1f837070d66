#include "ftp/FtpServerTool.h"

#include "net/WSocketLib.h"

#include <QDir>
#include <QStandardPaths>

namespace qordex::ftp {

bool ParsePermissions(const std::string& list, std::vector<FtpPermission>& out) {
    static const std::pair<const char*, FtpPermission> kWords[] = {
        {"get", FtpPermission::Get},     {"put", FtpPermission::Put},
        {"rename", FtpPermission::Rename}, {"dele", FtpPermission::Dele},
        {"cwd", FtpPermission::ChangeDir}, {"mkd", FtpPermission::MakeDir},
        {"rmd", FtpPermission::RemoveDir},
    };
    out.clear();
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = list.find(',', start);
        const std::string word =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!word.empty()) {
            bool found = false;
            for (const auto& [w, p] : kWords)
                if (word == w) {
                    out.push_back(p);
                    found = true;
                }
            if (!found)
                return false;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

std::string DefaultSharingFolder() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dir.isEmpty())
        dir = QDir::homePath();
    dir += QStringLiteral("/qordex/ftp");
    QDir().mkpath(dir);
    return dir.toStdString();
}

TFtpServerTool::TFtpServerTool() {
    server_.Port = "ftp";
    server_.Banner = "220 FTP Server ready.";
    server_.OnStart = [this](TFtpServer*) {
        Log("Server started");
        if (auto h = OnStarted)
            h();
    };
    server_.OnStop = [this](TFtpServer*) {
        Log("Server closed.");
        if (auto h = OnStopped)
            h();
    };
    server_.OnClientConnect = [this](TFtpServer*, TFtpCtrlSocket* c, int) {
        c->HomeDir = SharingDir;
        Log(" " + c->GetPeerAddr() + " connected");
        if (auto h = OnClientsChanged)
            h();
    };
    server_.OnClientDisconnect = [this](TFtpServer*, TFtpCtrlSocket* c, int) {
        Log(" " + c->GetPeerAddr() + " disconnected");
        if (auto h = OnClientsChanged)
            h();
    };
    server_.OnClientCommand = [this](TFtpServer*, TFtpCtrlSocket* c, std::string& kw, std::string& p,
                                     std::string&) { Log("< " + c->GetPeerAddr() + " " + kw + " " + p); };
    server_.OnAnswerToClient = [this](TFtpServer*, TFtpCtrlSocket* c, std::string& a) {
        Log("> " + c->GetPeerAddr() + " " + a);
    };
    server_.OnAuthenticate = [this](TFtpServer*, TFtpCtrlSocket* c, const std::string& user,
                                    const std::string& pass, bool& ok) {
        if (Anonymous)
            ok = user == "anonymous" || user == "ftp";
        else
            ok = user == UserName && pass == Password;
        // Only a login that succeeded is reported as one.
        if (ok)
            Log(" " + c->GetPeerAddr() + " User '" + user + "' is authenticated");
    };
    auto gate = [this](FtpPermission p) {
        return [this, p](TFtpServer*, TFtpCtrlSocket*, std::string&, bool& allowed) {
            allowed = Permit(p);
        };
    };
    server_.OnValidateGet = gate(FtpPermission::Get);
    server_.OnValidatePut = gate(FtpPermission::Put);
    server_.OnValidateMfmt = gate(FtpPermission::Put);
    server_.OnValidateRnTo = gate(FtpPermission::Rename);
    server_.OnValidateDele = gate(FtpPermission::Dele);
    server_.OnValidateRmd = gate(FtpPermission::RemoveDir);
    server_.OnCalculateMd5 = [this](TFtpServer*, TFtpCtrlSocket*, std::string&, std::string&,
                                    bool& allowed) { allowed = Permit(FtpPermission::Get); };
    server_.OnChangeDirectory = [this](TFtpServer*, TFtpCtrlSocket*, const std::string&, bool& allowed) {
        allowed = Permit(FtpPermission::ChangeDir);
    };
    server_.OnMakeDirectory = [this](TFtpServer*, TFtpCtrlSocket*, const std::string&, bool& allowed) {
        allowed = Permit(FtpPermission::MakeDir);
    };
}

void TFtpServerTool::Log(const std::string& line) {
    if (auto h = OnLog)
        h(line);
}

std::vector<std::string> TFtpServerTool::StartupLines() const {
    std::vector<std::string> out;
    out.push_back("Qordex FTP server, a Qordex network utility");
    out.push_back("Using:");
    out.push_back("   Qordex socket layer 1.0");
    out.push_back("   Qordex FTP server component 1.0");
    out.push_back("    Winsock:");
    out.push_back("        Host Name: " + GetLocalHostName());
    TWSADATA info{};
    GetWinsockInfo(info);
    out.push_back("        " + info.szDescription);
    if (!info.szSystemStatus.empty())
        out.push_back("        " + info.szSystemStatus);
    return out;
}

void TFtpServerTool::Start(const std::string& addr, const std::string& port) {
    if (SharingDir.empty() || SharingDir == "c:\\" || SharingDir == "C:\\")
        SharingDir = DefaultSharingFolder();
    server_.Addr = addr;
    server_.Port = port;
    server_.Start();
}

void TFtpServerTool::Stop() {
    server_.Stop();
    server_.DisconnectAll();
}

std::vector<std::string> TFtpServerTool::ClientLines() {
    std::vector<std::string> out;
    for (int i = 0; i < server_.ClientCount(); ++i) {
        TFtpCtrlSocket* c = server_.GetClient(i);
        out.push_back("Client " + std::to_string(i + 1) + ": " + c->GetPeerAddr() + "/" +
                      c->GetPeerPort());
    }
    if (out.empty())
        out.push_back("No clients");
    return out;
}

} // namespace qordex::ftp
