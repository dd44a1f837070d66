#include "tools/TcpServerTool.h"

#include "base/Text.h"
#include "tools/FailureText.h"
#include "tools/HexText.h"

#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace qordex::tools {
namespace {

// The class name of an exception as its user knows it, without our namespace.
std::string ClassName(const std::exception& e) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), std::free);
    std::string text = status == 0 && name ? name.get() : typeid(e).name();
    if (text.rfind("qordex::", 0) == 0)
        text.erase(0, 8);
    return text;
}

std::string Label(TWSocketClient* client) {
    return client->GetPeerAddr() + ":" + client->GetPeerPort();
}

} // namespace

std::string TTcpServerTool::EntryOf(TWSocketClient* client) {
    char id[16];
    std::snprintf(id, sizeof id, "%08X", unsigned(client->ClientNumber()));
    return std::string(id) + "| " + Label(client);
}

TTcpServerTool::TTcpServerTool() {
    WSocketServer1.SetBanner("Welcome");
    WSocketServer1.SetBannerTooBusy("Sorry, too many clients");
    WSocketServer1.SetMaxClients(0);
    WSocketServer1.SetClientClass<TTcpSrvClient>();
    WSocketServer1.OnClientConnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t e) {
        ClientConnect(c, e);
    };
    WSocketServer1.OnClientDisconnect = [this](TCustomWSocket*, TWSocketClient* c,
                                               std::uint16_t) { ClientDisconnect(c); };
    WSocketServer1.OnBgException = [this](TCustomWSocket*, const std::exception& e,
                                          bool& canClose) {
        Status("Server exception occured: " + ClassName(e) + ": " + e.what());
        canClose = false;
    };
}

TTcpServerTool::~TTcpServerTool() {
    // The clients go with the server and report nothing more.
    WSocketServer1.OnClientDisconnect = nullptr;
}

void TTcpServerTool::Status(const std::string& line) {
    if (OnStatus)
        OnStatus(line);
}

void TTcpServerTool::Data(const std::vector<std::string>& lines) {
    if (OnData)
        for (const std::string& l : lines)
            OnData(l);
}

bool TTcpServerTool::Start(const TcpServerSettings& settings) {
    if (settings.port.empty() || Running())
        return false;
    Status("Starting TCP server...");
    settings_ = settings;
    WSocketServer1.SetProto("tcp");
    WSocketServer1.SetPort(settings.port);
    WSocketServer1.SetAddr("0.0.0.0");
    WSocketServer1.SetLineEcho(false);
    WSocketServer1.SetLineEdit(false);
    WSocketServer1.SetLineLimit(kLineLimit);
    if (!settings.maxClients.empty()) {
        const auto max = ParseDecimal(Trim(settings.maxClients), -2147483648LL, 2147483647LL);
        if (!max) {
            Status(NotAnIntegerMessage(settings.maxClients));
            Stopped();
            return false;
        }
        WSocketServer1.SetMaxClients(int(*max));
    }
    // A connection dropped from a full accept queue never sees the banner.
    WSocketServer1.SetListenBacklog(128);
    WSocketServer1.SetBanner(settings.banner);
    try {
        WSocketServer1.Listen();
    } catch (const ESocketException& e) {
        WSocketServer1.Close();
        for (const std::string& line : FailureLines(e, settings.port))
            Status(line);
        Stopped();
        return false;
    }
    Status("Server started");
    if (OnRunning)
        OnRunning(true);
    return true;
}

void TTcpServerTool::Stopped() {
    entries_.clear();
    if (OnRunning)
        OnRunning(false);
}

void TTcpServerTool::Stop() {
    const std::vector<std::string> entries = entries_;
    for (const std::string& entry : entries) {
        Status("Server disconnecting [" + entry + "]");
        if (TTcpSrvClient* client = ClientOf(entry))
            client->CloseLater();
    }
    WSocketServer1.Close();
    Status("Server closed.");
    Stopped();
}

void TTcpServerTool::Shutdown() {
    if (!Running())
        return;
    WSocketServer1.Close();
    Status("Server closed.");
    Stopped();
}

TTcpSrvClient* TTcpServerTool::ClientOf(const std::string& entry) const {
    const std::uint32_t id = HexTextToInt(entry);
    for (int i = 0; i < WSocketServer1.ClientCount(); ++i) {
        TWSocketClient* c = WSocketServer1.Client(i);
        if (std::uint32_t(c->ClientNumber()) == id)
            return dynamic_cast<TTcpSrvClient*>(c);
    }
    return nullptr;
}

void TTcpServerTool::ClientConnect(TWSocketClient* c, std::uint16_t) {
    auto* client = dynamic_cast<TTcpSrvClient*>(c);
    if (!client)
        return;
    client->RcvCnt = 0;
    Status("Client connected, remote: " + Label(client));
    const std::string entry = EntryOf(client);
    entries_.push_back(entry);
    if (OnClientAdded)
        OnClientAdded(entry);
    terminator_ = settings_.lineEnd;
    client->SetLineEdit(false);
    client->SetLineEcho(false);
    client->SetLineLimit(kLineLimit);
    client->SetBanner(settings_.banner);
    client->SetLineEnd(terminator_);
    client->SetLineMode(!terminator_.empty());
    client->OnDataAvailable = [this, client](TCustomWSocket*, std::uint16_t) {
        DataAvailable(client);
    };
    client->OnLineLimitExceeded = [this, client](TCustomWSocket*, int, bool& clearData) {
        Status("Line limit exceeded from " + client->GetPeerAddr() + ". Closing.");
        clearData = true;
        client->Close();
    };
    client->OnBgException = [this](TCustomWSocket*, const std::exception& e, bool& canClose) {
        Status("Client exception occured: " + ClassName(e) + ": " + e.what());
        canClose = true;
    };
    client->ConnectTime = std::chrono::steady_clock::now();
}

void TTcpServerTool::ClientDisconnect(TWSocketClient* c) {
    auto* client = dynamic_cast<TTcpSrvClient*>(c);
    if (!client)
        return;
    const long long secs = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now() - client->ConnectTime)
                               .count();
    char duration[48];
    std::snprintf(duration, sizeof duration, "%02lld:%02lld:%02lld", secs / 3600,
                  secs / 60 % 60, secs % 60);
    Status("Client disconnected: " + Label(client) + "   Duration: " + duration);
    RemoveEntry(EntryOf(client));
}

void TTcpServerTool::RemoveEntry(const std::string& entry) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (*it == entry) {
            entries_.erase(it);
            if (OnClientRemoved)
                OnClientRemoved(entry);
            return;
        }
    }
}

void TTcpServerTool::DataAvailable(TTcpSrvClient* client) {
    const std::string label = Label(client);
    for (;;) {
        const int room = TTcpSrvClient::kBufferSize - 1 - client->RcvCnt;
        const int n = client->Receive(client->RcvBuf + client->RcvCnt, room);
        if (n <= 0)
            return;
        const std::string block(client->RcvBuf + client->RcvCnt, std::size_t(n));
        client->RcvCnt += n;
        const std::string_view held(client->RcvBuf, std::size_t(client->RcvCnt));
        client->RcvCnt = 0;
        if (Echo) {
            client->Send(block.data(), int(block.size()));
            if (client->State() != wsConnected)
                return;
        }
        if (ShowFrame)
            Data({label + ">" + FrameHexLine(held)});
        Data(ReceivedTextEntries(label + ">" + std::string(held), TextMode));
        if (!WSocketServer1.IsClient(client) || client->State() != wsConnected)
            return;
    }
}

bool TTcpServerTool::Send(const std::string& entry, std::string_view text, bool multiline) {
    TTcpSrvClient* client = ClientOf(entry);
    if (!client || client->State() != wsConnected)
        return false;
    const std::string label = entry.size() > 10 ? entry.substr(10) : std::string();
    const OutgoingMessage out = BuildMessage(text, multiline, terminator_);
    if (!out.bytes.empty())
        client->Send(out.bytes.data(), int(out.bytes.size()));
    for (const std::string& line : out.shown)
        Status(label + "< " + line);
    return true;
}

void TTcpServerTool::Disconnect(const std::string& entry) {
    Status("Server disconnecting [" + entry + "]");
    if (TTcpSrvClient* client = ClientOf(entry))
        client->CloseLater();
}

} // namespace qordex::tools
