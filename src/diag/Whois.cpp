#include "diag/Whois.h"

#include "net/WSocket.h"

#include <arpa/inet.h>

namespace qordex::diag {

const std::vector<WhoisRegistry>& WhoisRegistries() {
    static const std::vector<WhoisRegistry> registries = {
        {"InterNic", 0, "InterNic - Internet's Network Information Center",
         "whois.internic.net", "https://www.internic.net/"},
        {"Network Solutions", 1, "Network Solutions - Domain Name Registration Services",
         "whois.networksolutions.com", "https://www.networksolutions.com/"},
        {"ARIN", 2, "ARIN - American Registry for Internet Numbers", "whois.arin.net",
         "https://www.arin.net/"},
        {"AfriNIC", 3, "AfriNIC - African Regional Internet Registry", "whois.afrinic.net",
         "https://afrinic.net/"},
        {"APNIC", 4, "APNIC - Asia Pacific Network Information Centre", "whois.apnic.net",
         "https://www.apnic.net/"},
        {"LACNIC", 5, "LACNIC - Latin American and Caribbean IP address Regional Registry",
         "whois.lacnic.net", "https://www.lacnic.net/"},
        {"Ripe NCC", 6,
         "Ripe NCC -  R\xe9seaux IP Europ\xe9"
         "ens Network Coordination Centre",
         "whois.ripe.net", "https://www.ripe.net/"},
    };
    return registries;
}

const WhoisRegistry* FindWhoisRegistry(const std::string& entry) {
    for (const WhoisRegistry& r : WhoisRegistries())
        if (entry == r.name)
            return &r;
    return nullptr;
}

std::string WhoisServerFor(const std::string& entry) {
    const WhoisRegistry* r = FindWhoisRegistry(entry);
    return r ? r->server : entry;
}

std::string WhoisConnectingText(const std::string& server) {
    return "Connecting to " + server;
}

std::string WhoisRequestingText(const std::string& query) {
    return "Requesting information for " + query;
}

TWhoisClient::TWhoisClient() : socket_(std::make_unique<TWSocket>()) {
    TWSocket& s = *socket_;
    s.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t error) {
        if (!busy_)
            return;
        if (error != 0) {
            Fail();
            return;
        }
        socket_->SetAddr(socket_->DnsResult());
        Connect();
    };
    s.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t error) {
        SessionConnected(error);
    };
    s.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { DataAvailable(); };
    s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) { SessionClosed(); };
    s.OnError = [this](TCustomWSocket*) {
        if (busy_)
            Fail();
    };
}

TWhoisClient::~TWhoisClient() {
    Abort();
}

bool TWhoisClient::Start(const Request& request) {
    if (busy_ || request.server.empty() || request.port.empty() || request.query.empty())
        return false;
    request_ = request;
    busy_ = true;
    connected_ = false;
    splitter_.Reset();
    TWSocket& s = *socket_;
    s.SetProto("tcp");
    s.SetLineMode(false);
    s.SetLineEcho(false);
    s.SetLineEdit(false);
    s.SetLineEnd("\r\n");
    s.SetLineLimit(4096);
    s.SetPort(request.port);
    s.SetAddr(request.server);
    Status(WhoisConnectingText(request.server));
    if (!busy_)
        return true;
    ApplySocks5(s, request.socks);
    // Without a proxy a name is looked up first, so that nothing blocks the
    // window; through a proxy the name goes to it as it is.
    in_addr numeric{};
    if (!request.socks.use && inet_pton(AF_INET, request.server.c_str(), &numeric) != 1) {
        try {
            s.DnsLookup(request.server);
        } catch (const std::exception&) {
            Fail();
        }
        return true;
    }
    Connect();
    return true;
}

void TWhoisClient::Connect() {
    try {
        socket_->Connect();
    } catch (const std::exception&) {
        Fail();
    }
}

void TWhoisClient::SessionConnected(std::uint16_t error) {
    if (!busy_)
        return;
    if (error != 0) {
        // Nothing was asked: a failed connection sends nothing.
        Fail();
        return;
    }
    connected_ = true;
    Status(WhoisRequestingText(request_.query));
    if (!busy_)
        return;
    socket_->SendText(request_.query + "\r\n");
}

void TWhoisClient::DataAvailable() {
    char block[kWhoisPieceSize];
    while (busy_) {
        const int n = socket_->Receive(block, int(sizeof block));
        if (n <= 0)
            break;
        Lines(splitter_.Feed(std::string_view(block, std::size_t(n))));
    }
}

void TWhoisClient::SessionClosed() {
    if (!busy_)
        return;
    const bool asked = connected_;
    Lines(splitter_.Finish());
    if (!busy_)
        return;
    connected_ = false;
    Status(kWhoisClosed);
    End(asked ? TWhoisEnd::Closed : TWhoisEnd::Error);
}

void TWhoisClient::Fail() {
    connected_ = false;
    busy_ = false; // the close that follows is no end of an answer
    socket_->Abort();
    busy_ = true;
    Status(kWhoisError);
    End(TWhoisEnd::Error);
}

void TWhoisClient::Cancel() {
    if (!busy_)
        return;
    connected_ = false;
    busy_ = false;
    socket_->CancelLookup();
    socket_->Close();
    // What came before the cancel is kept, the partial line too.
    busy_ = true;
    Lines(splitter_.Finish());
    Status(kWhoisCancelled);
    End(TWhoisEnd::Cancelled);
}

void TWhoisClient::Abort() {
    busy_ = false;
    connected_ = false;
    socket_->CancelLookup();
    socket_->Abort();
}

void TWhoisClient::End(TWhoisEnd end) {
    if (!busy_)
        return;
    busy_ = false;
    connected_ = false;
    if (auto h = OnDone)
        h(end);
}

void TWhoisClient::Status(const std::string& text) {
    if (auto h = OnStatus)
        h(text);
}

void TWhoisClient::Lines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (!busy_)
            return;
        if (auto h = OnLine)
            h(line);
    }
}

} // namespace qordex::diag
