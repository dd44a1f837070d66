#include "net/WSocketServer.h"

#include "platform/SocketErrors.h"

#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <sys/resource.h>
#include <unistd.h>

namespace qordex {

namespace {

// A server holds one descriptor per client; the soft limit of a desktop
// session (often 1024) is far below what the system allows, so a server
// takes the hard limit once per process.
void RaiseDescriptorLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        rlimit lim{};
        if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
            lim.rlim_cur = lim.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &lim);
        }
    });
}

} // namespace

// ---- the client -----------------------------------------------------------------

TWSocketClient::TWSocketClient() = default;

TWSocketClient::~TWSocketClient() {
    if (server_)
        server_->Remove(this);
}

std::string TWSocketClient::GetPeerAddr() {
    return peerAddr_.empty() ? std::string("error") : peerAddr_;
}

std::string TWSocketClient::GetPeerPort() {
    return peerPort_.empty() ? std::string("error") : peerPort_;
}

void TWSocketClient::Dup(TSocket h) {
    const LifeCheck life(*this);
    TWSocket::Dup(h);
    if (!life.Alive() || State() != wsConnected)
        return;
    peerAddr_ = TWSocket::GetPeerAddr();
    peerPort_ = TWSocket::GetPeerPort();
}

void TWSocketClient::SendBanner() {
    if (!banner_.empty())
        SendText(banner_ + LineEnd());
}

void TWSocketClient::TriggerSessionClosed(int error) {
    if (closeReported_)
        return;
    closeReported_ = true;
    // The number, not the address, names the client in the notice: by the
    // time the loop hands it on, the client may be gone and its memory reused.
    if (server_)
        server_->Window()->Post(WM_CLIENT_CLOSED, WPARAM(std::uint16_t(error)), LPARAM(number_));
    TWSocket::TriggerSessionClosed(error);
}

// ---- the server -----------------------------------------------------------------

TCustomWSocketServer::TCustomWSocketServer()
    : clientClass_([] { return std::make_unique<TWSocketClient>(); }) {
    RaiseDescriptorLimit();
}

TCustomWSocketServer::~TCustomWSocketServer() {
    // Each destructor takes its client out of the list.
    while (!clients_.empty()) {
        try {
            delete clients_.back();
        } catch (...) {
        }
    }
}

void TCustomWSocketServer::SetClientClass(TWSocketClientClass factory) {
    if (factory)
        clientClass_ = std::move(factory);
    else
        clientClass_ = [] { return std::make_unique<TWSocketClient>(); };
}

TWSocketClient* TCustomWSocketServer::Client(int index) const {
    if (index < 0 || index >= int(clients_.size()))
        return nullptr;
    return clients_[std::size_t(index)];
}

bool TCustomWSocketServer::IsClient(const TWSocketClient* client) const {
    return std::find(clients_.begin(), clients_.end(), client) != clients_.end();
}

TWSocketClient* TCustomWSocketServer::FindById(std::uint64_t id) const {
    for (TWSocketClient* c : clients_)
        if (std::uint64_t(c->number_) == id)
            return c;
    return nullptr;
}

void TCustomWSocketServer::Remove(TWSocketClient* client) {
    auto it = std::find(clients_.begin(), clients_.end(), client);
    if (it != clients_.end())
        clients_.erase(it);
}

void TCustomWSocketServer::TriggerClientCreate(TWSocketClient* client) {
    if (auto h = OnClientCreate)
        h(this, client);
}

void TCustomWSocketServer::TriggerClientConnect(TWSocketClient* client, int error) {
    if (auto h = OnClientConnect)
        h(this, client, std::uint16_t(error));
}

void TCustomWSocketServer::TriggerClientDisconnect(TWSocketClient* client, int error) {
    if (auto h = OnClientDisconnect)
        h(this, client, std::uint16_t(error));
}

void TCustomWSocketServer::ResetDefaults() {
    TWSocket::ResetDefaults();
    backoff_ = false;
    ++backoffRound_; // a rest timer of the last listening session does nothing
}

TSocket TCustomWSocketServer::AcceptPending() {
    // Accept reports through OnError or an exception; the shortage of
    // descriptors and an empty queue are handled here, without either.
    auto onError = std::move(OnError);
    OnError = nullptr;
    TSocket h = INVALID_SOCKET;
    std::string failure;
    try {
        h = Accept();
    } catch (const ESocketException& e) {
        failure = e.what();
    }
    if (!OnError)
        OnError = std::move(onError);
    if (h != INVALID_SOCKET) {
        exhausted_ = false;
        return h;
    }
    if (State() != wsListening)
        return INVALID_SOCKET; // the listener itself failed and was closed
    switch (LastError()) {
    case WSAEWOULDBLOCK:  // taken meanwhile, or a stale notification
    case WSAECONNABORTED: // the peer gave up while it waited
        return INVALID_SOCKET;
    case WSAEMFILE:
    case WSAENOBUFS:
        StartBackoff(LastError());
        return INVALID_SOCKET;
    default:
        ReportError(failure);
        return INVALID_SOCKET;
    }
}

// The pending connection stays queued while descriptors lack, so the
// listener would be woken again at once, for ever: accepting rests instead,
// until a client ends or the rest is over.
void TCustomWSocketServer::StartBackoff(int error) {
    if (!exhausted_) {
        exhausted_ = true;
        std::fprintf(stderr,
                     "%s: out of descriptors accepting a client (error %d); "
                     "accepting pauses while they lack\n",
                     name_.empty() ? "socket server" : name_.c_str(), error);
    }
    if (backoff_)
        return;
    backoff_ = true;
    Pause();
    const unsigned round = ++backoffRound_;
    QTimer::singleShot(kAcceptBackoffMs, Window(), [this, round] {
        if (round == backoffRound_)
            EndBackoff();
    });
}

void TCustomWSocketServer::EndBackoff() {
    if (!backoff_)
        return;
    backoff_ = false;
    ++backoffRound_;
    if (State() == wsListening)
        Resume();
}

void TCustomWSocketServer::TriggerSessionAvailable(int error) {
    const LifeCheck life(*this);
    TWSocket::TriggerSessionAvailable(error);
    if (!life.Same() || error != 0 || State() != wsListening || Paused())
        return;
    TSocket h = AcceptPending();
    if (h == INVALID_SOCKET || !life.Alive()) {
        if (h != INVALID_SOCKET)
            ::close(h);
        return;
    }

    const int number = ++clientNumber_;
    TWSocketClient* client = nullptr;
    try {
        client = clientClass_().release();
    } catch (...) {
        ::close(h);
        throw;
    }
    if (!client) {
        ::close(h);
        return;
    }
    client->server_ = this;
    client->number_ = number;
    clients_.push_back(client);
    auto clientGone = [&] { return !life.Alive() || FindById(std::uint64_t(number)) != client; };

    try {
        TriggerClientCreate(client);
    } catch (...) {
        if (!clientGone())
            delete client;
        ::close(h);
        throw;
    }
    if (!life.Alive() || clientGone()) {
        ::close(h);
        return;
    }
    client->name_ = name_ + "Client" + std::to_string(number);
    client->banner_ = banner_;
    client->SetLogger(Logger());

    try {
        client->Dup(h);
    } catch (...) {
        // A client that could not adopt the connection never had a session
        // to end: it goes now, with the descriptor if it did not take it.
        if (!clientGone()) {
            if (client->HSocket() != h)
                ::close(h);
            delete client;
        }
        throw;
    }
    if (clientGone())
        return;

    TriggerClientConnect(client, error);
    if (clientGone())
        return;
    if (client->State() != wsConnected) {
        // Closed by a handler: its notice frees it.  Never connected (the
        // adoption failed through the client's OnError): nothing will.
        if (!client->closeReported_)
            delete client;
        return;
    }
    if (maxClients_ <= 0 || ClientCount() <= maxClients_) {
        client->SendBanner();
    } else {
        client->SetBanner(bannerTooBusy_);
        client->SendBanner();
        if (clientGone())
            return;
        client->Close();
    }
}

void TCustomWSocketServer::ClientEnded(std::uint64_t id, int error) {
    TWSocketClient* client = FindById(id);
    if (!client)
        return; // freed meanwhile: the notice has nobody to speak of
    const LifeCheck life(*this);
    try {
        TriggerClientDisconnect(client, error);
    } catch (...) {
        if (life.Alive()) {
            if (FindById(id) == client)
                delete client;
            EndBackoff();
        }
        throw;
    }
    if (!life.Alive())
        return;
    if (FindById(id) == client)
        delete client;
    // A descriptor came free: accepting need not wait for the rest to end.
    EndBackoff();
}

void TCustomWSocketServer::WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CLIENT_CLOSED) {
        ClientEnded(std::uint64_t(lParam), int(wParam));
        return;
    }
    TWSocket::WndProc(msg, wParam, lParam);
}

} // namespace qordex
