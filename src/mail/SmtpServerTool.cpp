#include "mail/SmtpServerTool.h"

#include "tools/HexText.h"

#include <QDir>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace qordex::mail {
namespace {

// Files that already hold a message are never replaced: the name takes a
// counter instead, up to this many tries.
constexpr int kMaxNameTries = 10000;
constexpr std::size_t kMaxRecipientInName = 200;

std::string Hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

} // namespace

std::string DefaultMailFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString() +
           "/mail/";
}

std::string MessageFileName(const std::string& recipient, std::int64_t when, int counter) {
    std::string name = recipient.empty() ? std::string("null")
                                         : recipient.substr(0, kMaxRecipientInName);
    const std::time_t t = std::time_t(when);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "-%02d%02d%02d%02d%02d%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year % 100, tm.tm_hour, tm.tm_min, tm.tm_sec);
    name += stamp;
    if (counter > 0)
        name += "-" + std::to_string(counter);
    return name + ".eml";
}

TSmtpServerTool::TSmtpServerTool() : Folder(DefaultMailFolder()) {
    Server.SetHelloMessage("SMTP server ready.");
    Server.OnClientConnect = [this](TSmtpServer*, TSmtpClient* client) {
        const std::uint32_t id = std::uint32_t(client->ClientNumber());
        Conn& c = conns_[id];
        c.row = {Id(client), client->GetPeerAddr() + ":" + client->GetPeerPort(), "null", "null",
                 "null", "null"};
        Log("Connected " + client->GetPeerAddr() + ": " + c.row[0]);
        if (OnRowAdded)
            OnRowAdded(c.row);
    };
    Server.OnClientDisconnect = [this](TSmtpServer*, TSmtpClient* client) {
        const std::uint32_t id = std::uint32_t(client->ClientNumber());
        // A connection that ends in the middle of a message keeps what came.
        if (auto it = conns_.find(id); it != conns_.end())
            CloseMessage(it->second, false);
        Log("Disconnected: " + Id(client));
        Drop(id);
    };
    Server.OnUsername = [this](TSmtpServer*, TSmtpClient* client, const std::string& name,
                               std::string&, bool& shouldClose) {
        shouldClose = false;
        if (Conn* c = Find(client)) {
            c->row[3] = name;
            Changed(*c);
        }
        Log(Id(client) + " USER " + name);
    };
    Server.OnMailFrom = [this](TSmtpServer*, TSmtpClient* client, const std::string& address,
                               std::string&) {
        if (Conn* c = Find(client)) {
            c->row[4] = address;
            Changed(*c);
        }
        Log(Id(client) + " FROM " + address);
    };
    Server.OnMailTo = [this](TSmtpServer*, TSmtpClient* client, const std::string& address,
                             std::string&) {
        if (Conn* c = Find(client)) {
            c->row[2] = address;
            Changed(*c);
        }
        Log(Id(client) + " TO " + address);
    };
    Server.OnVerifyUser = [this](TSmtpServer*, TSmtpClient* client, const std::string& user,
                                 bool& known, std::string& mailAddr) {
        known = true;
        Log(Id(client) + " VERIFY " + user + ", " + mailAddr);
    };
    Server.OnSendDataInit = [this](TSmtpServer*, TSmtpClient* client) {
        Log(Id(client) + " SAVING BODY");
        Conn* c = Find(client);
        if (!c) {
            client->SetMessageFailed();
            return;
        }
        CloseMessage(*c, false);
        OpenMessage(client, *c);
    };
    Server.OnSendData = [this](TSmtpServer*, TSmtpClient* client, bool last,
                               const std::string& msg) {
        Conn* c = Find(client);
        // Once per message: a big one comes in thousands of blocks.
        if (c && !c->receiving) {
            c->receiving = true;
            Log(Id(client) + " - receiving body");
        }
        if (!c || c->fd < 0 || c->failed) {
            client->SetMessageFailed();
            return;
        }
        if (!WriteAll(c->fd, msg)) {
            Log(Id(client) + " Cannot write " + c->path + ": " + std::strerror(errno));
            c->failed = true;
            client->SetMessageFailed();
        }
        if (last)
            CloseMessage(*c, !c->failed);
    };
    Server.OnReset = [this](TSmtpServer*, TSmtpClient* client, std::string&) {
        if (Conn* c = Find(client)) {
            CloseMessage(*c, false);
            for (int i = 2; i < 6; ++i)
                c->row[std::size_t(i)] = "null";
            Changed(*c);
        }
        Log(Id(client) + " RESET");
    };
    Server.OnQuit = [this](TSmtpServer*, TSmtpClient* client, std::string&) {
        Log(Id(client) + " QUIT");
        if (Conn* c = Find(client))
            CloseMessage(*c, false);
    };
    Server.OnHelp = [this](TSmtpServer*, TSmtpClient* client, const std::string& topic,
                           std::string&) { Log(Id(client) + " HELP " + topic); };
    Server.OnUnknownCmd = [this](TSmtpServer*, TSmtpClient* client, const std::string& text,
                                 std::string&) { Log(Id(client) + " Unknown command " + text); };
}

TSmtpServerTool::~TSmtpServerTool() {
    // The clients go with the server and report nothing more.
    Server.OnClientDisconnect = nullptr;
    for (auto& [id, c] : conns_)
        CloseMessage(c, false);
}

std::string TSmtpServerTool::Id(TSmtpClient* client) {
    return Hex8(std::uint32_t(client->ClientNumber()));
}

TSmtpServerTool::Conn* TSmtpServerTool::Find(TSmtpClient* client) {
    auto it = conns_.find(std::uint32_t(client->ClientNumber()));
    return it == conns_.end() ? nullptr : &it->second;
}

std::vector<TSmtpServerTool::Row> TSmtpServerTool::Rows() const {
    std::vector<Row> rows;
    for (const auto& [id, c] : conns_)
        rows.push_back(c.row);
    return rows;
}

void TSmtpServerTool::Log(const std::string& line) {
    if (OnLog)
        OnLog(line);
}

void TSmtpServerTool::Changed(Conn& c) {
    if (OnRowChanged)
        OnRowChanged(c.row);
}

void TSmtpServerTool::OpenMessage(TSmtpClient* client, Conn& c) {
    c.failed = false;
    c.receiving = false;
    std::string folder = Folder;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    const std::int64_t now = std::time(nullptr);
    const std::string recipient = c.row[2] == "null" ? std::string() : c.row[2];
    // Names taken within this second are skipped without trying them again:
    // a busy server stores hundreds of messages to one recipient per second.
    const std::string base = folder + MessageFileName(recipient, now, 0);
    const int first = base == lastName_ ? lastCounter_ + 1 : 0;
    // The folder is made only when it is missing: checking it before every
    // message costs a busy server two system calls per message.
    bool folderMade = false;
    for (int counter = first; counter < first + kMaxNameTries; ++counter) {
        const std::string path = folder + MessageFileName(recipient, now, counter);
        // Created exclusively: a message never replaces another one.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && (errno == ENOENT || errno == ENOTDIR) && !folderMade) {
            folderMade = true;
            if (!QDir().mkpath(QString::fromStdString(Folder))) {
                Log(Id(client) + " Cannot make the folder " + Folder);
                break;
            }
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        }
        if (fd >= 0) {
            lastName_ = base;
            lastCounter_ = counter;
            c.fd = fd;
            c.path = path;
            c.row[5] = Hex8(std::uint32_t(fd));
            Changed(c);
            return;
        }
        if (errno != EEXIST) {
            Log(Id(client) + " Cannot create " + path + ": " + std::strerror(errno));
            break;
        }
    }
    client->SetMessageFailed();
}

void TSmtpServerTool::CloseMessage(Conn& c, bool complete) {
    if (c.fd < 0)
        return;
    const bool closed = ::close(c.fd) == 0;
    c.fd = -1;
    if (OnStored)
        OnStored(c.path, complete && closed);
}

void TSmtpServerTool::Start(const std::string& addr, const std::string& port,
                            const std::string& hello) {
    Server.SetSrvAddr(addr);
    Server.SetSrvPort(port);
    Server.SetHelloMessage(hello);
    Server.SetActive(true);
    Log("Server started");
}

void TSmtpServerTool::Stop() {
    Server.SetActive(false);
    Log("Server closed.");
}

void TSmtpServerTool::Disconnect(const std::string& id) {
    const std::uint32_t n = HexTextToInt(id);
    if (!conns_.count(n))
        return;
    TWSocketServer& s = Server.Socket();
    for (int i = 0; i < s.ClientCount(); ++i) {
        TWSocketClient* client = s.Client(i);
        if (std::uint32_t(client->ClientNumber()) != n)
            continue;
        Log(Hex8(n) + " Disconnecting");
        CloseMessage(conns_[n], false);
        Drop(n);
        client->CloseLater();
        return;
    }
}

void TSmtpServerTool::DisconnectAll() {
    std::vector<std::string> ids;
    for (const auto& [id, c] : conns_)
        ids.push_back(c.row[0]);
    for (const std::string& id : ids)
        Disconnect(id);
}

void TSmtpServerTool::Drop(std::uint32_t id) {
    auto it = conns_.find(id);
    if (it == conns_.end())
        return;
    const std::string text = it->second.row[0];
    conns_.erase(it);
    if (OnRowRemoved)
        OnRowRemoved(text);
}

} // namespace qordex::mail
