#pragma once
// The multi-client TCP server: a listening TWSocket that accepts every
// incoming connection into a new client object (of a class the application
// chooses), greets it with a banner, and destroys it once its session ended.
//
// Lifetimes: the server owns its clients.  A client lives from its accepted
// connection until the server has handled the notice its session end
// posted; OnClientDisconnect therefore always runs from the loop, after the
// client's own OnSessionClosed, and the client is freed right after it.
// Applications drop a client with Close, CloseLater or Abort, never by
// freeing it.  Stopping the server (Close) leaves its clients alone; freeing
// the server frees them without OnClientDisconnect.

#include "net/WSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qordex {

class TCustomWSocketServer;

// One accepted connection of a server.
class TWSocketClient : public TWSocket {
public:
    TWSocketClient();
    ~TWSocketClient() override;

    // The greeting sent when the connection is adopted (followed by
    // LineEnd); copied from the server and changeable in OnClientConnect.
    // Empty sends nothing.
    const std::string& Banner() const { return banner_; }
    void SetBanner(const std::string& v) { banner_ = v; }

    // The owning server (set when the server creates the client).
    TCustomWSocketServer* Server() const { return server_; }
    // The server's name + "Client" + the running client number.
    const std::string& Name() const { return name_; }
    // The running number of this client at its server (1, 2, 3, ...).
    int ClientNumber() const { return number_; }

    // The peer captured when the connection was adopted; still readable
    // after the session ended ("error" before any connection).
    std::string GetPeerAddr() override;
    std::string GetPeerPort() override;

    void Dup(TSocket h) override;

    // Sends Banner + LineEnd unless Banner is empty.
    virtual void SendBanner();

protected:
    // Reports the end of the session to the server (once), then raises the
    // client's own OnSessionClosed.
    void TriggerSessionClosed(int error) override;

private:
    friend class TCustomWSocketServer;

    std::string banner_;
    TCustomWSocketServer* server_ = nullptr;
    std::string name_;
    int number_ = 0;
    std::string peerAddr_, peerPort_;
    bool closeReported_ = false; // the session end was posted to the server
};

// Makes the client object for one accepted connection.
using TWSocketClientClass = std::function<std::unique_ptr<TWSocketClient>()>;

class TCustomWSocketServer : public TWSocket {
public:
    TCustomWSocketServer();
    // Frees every client, last first, without OnClientDisconnect.
    ~TCustomWSocketServer() override;

    // ---- events (Sender is the server) ----
    // A client object was made, before it holds its connection: the place to
    // set its options and handlers that must see the adoption.
    std::function<void(TCustomWSocket* Sender, TWSocketClient* Client)> OnClientCreate;
    // A client is connected and about to be greeted; the handler assigns the
    // client's events, may change its Banner, or close it (no banner then).
    std::function<void(TCustomWSocket* Sender, TWSocketClient* Client, std::uint16_t Error)>
        OnClientConnect;
    // A client's session ended; always from the loop, after the client's
    // own OnSessionClosed.  The client is freed right after the handler,
    // which must not keep it.
    std::function<void(TCustomWSocket* Sender, TWSocketClient* Client, std::uint16_t Error)>
        OnClientDisconnect;

    // ---- properties ----
    const std::string& Banner() const { return banner_; }
    void SetBanner(const std::string& v) { banner_ = v; }
    const std::string& BannerTooBusy() const { return bannerTooBusy_; }
    void SetBannerTooBusy(const std::string& v) { bannerTooBusy_ = v; }
    // Simultaneous clients served; 0 or less means no limit.  The client
    // over the limit reads BannerTooBusy and is closed.
    int MaxClients() const { return maxClients_; }
    void SetMaxClients(int v) { maxClients_ = v; }
    // The client class; by default a plain TWSocketClient.
    void SetClientClass(TWSocketClientClass factory);
    template<class T> void SetClientClass() {
        SetClientClass([] { return std::unique_ptr<TWSocketClient>(new T()); });
    }
    // Names the clients: Name + "Client" + number.
    const std::string& Name() const { return name_; }
    void SetName(const std::string& v) { name_ = v; }

    // The live clients, in the order they came.
    virtual int ClientCount() const { return int(clients_.size()); }
    // The client at `index`, or nullptr when out of range.
    virtual TWSocketClient* Client(int index) const;
    // Whether `client` is one of the live clients.
    bool IsClient(const TWSocketClient* client) const;

    // Accepting stopped for lack of descriptors and resumes shortly.
    bool AcceptBackoff() const { return backoff_; }
    // Milliseconds accepting rests after running out of descriptors.
    static constexpr int kAcceptBackoffMs = 100;

protected:
    void WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) override;
    void TriggerSessionAvailable(int error) override;
    void ResetDefaults() override;

    virtual void TriggerClientCreate(TWSocketClient* client);
    virtual void TriggerClientConnect(TWSocketClient* client, int error);
    virtual void TriggerClientDisconnect(TWSocketClient* client, int error);

private:
    friend class TWSocketClient;

    // Accept that survives descriptor exhaustion: INVALID_SOCKET when there
    // was nothing to take or accepting now rests.
    TSocket AcceptPending();
    void StartBackoff(int error);
    void EndBackoff();
    void ClientEnded(std::uint64_t id, int error);
    void Remove(TWSocketClient* client);
    TWSocketClient* FindById(std::uint64_t id) const;

    std::vector<TWSocketClient*> clients_; // owned; removed by each destructor
    TWSocketClientClass clientClass_;
    std::string banner_ = "Welcome to TcpSrv";
    std::string bannerTooBusy_ = "Sorry, too many clients";
    std::string name_;
    int maxClients_ = 0;
    int clientNumber_ = 0;   // running count of accepted connections
    bool backoff_ = false;   // accepting rests after EMFILE/ENFILE
    bool exhausted_ = false; // the shortage was reported; reset by a good accept
    unsigned backoffRound_ = 0;
};

class TWSocketServer : public TCustomWSocketServer {};

} // namespace qordex
