#pragma once
// The SOCKS client layer of the socket: with SocksServer set, Connect goes
// to the proxy, negotiates version 4, 4A or 5 (no authentication, or user
// name / password), and only then raises OnSessionConnected; from there on
// the socket behaves like a direct connection.  Bytes that came with the
// proxy's last reply are handed on as ordinary data.
//
// Reached through net/WSocket.h, which includes it after the core.

#ifndef QORDEX_WSOCKET_LAYERS
#error "include net/WSocket.h, not the layer headers"
#endif

#include "net/SocksCodec.h"

#include <cstdint>
#include <functional>
#include <string>

namespace qordex {

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

class TCustomSocksWSocket : public TCustomWSocket {
public:
    // ---- events (Sender first; a handler may free the sender) ----
    // The TCP connection to the proxy was made (0) or failed (error); the
    // session itself is announced later by OnSessionConnected.
    std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)> OnSocksConnected;
    // Progress of the user name / password exchange.
    std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)> OnSocksAuthState;
    // The negotiation failed; OnSessionConnected and OnSessionClosed follow
    // with the same code (except 20017, which only closes).
    std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)> OnSocksError;

    // ---- properties; the first three change only while closed, and every
    // close empties SocksServer and SocksPort and sets SocksLevel back to
    // "5", so they are assigned before each Connect ----
    const std::string& SocksServer() const { return socksServer_; }
    virtual void SetSocksServer(const std::string& v);
    const std::string& SocksPort() const { return socksPort_; }
    virtual void SetSocksPort(const std::string& v);
    // "4", "4A" or "5" ("4a" is stored as "4A").
    const std::string& SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(const std::string& v);
    const std::string& SocksUsercode() const { return socksUsercode_; }
    void SetSocksUsercode(const std::string& v) { socksUsercode_ = v; }
    const std::string& SocksPassword() const { return socksPassword_; }
    void SetSocksPassword(const std::string& v) { socksPassword_ = v; }
    TSocksAuthentication SocksAuthentication() const { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication v) { socksAuthentication_ = v; }

    // ---- operations ----
    // Through the proxy when SocksServer is set (TCP only).
    void Connect() override;
    // Refused while SocksServer is set.
    void Listen() override;

protected:
    // Still talking to the proxy: the application's bytes have not started.
    bool SocksNegotiating() const { return phase_ != Phase::Data; }
    // Bytes that came after the proxy's reply and wait to be read.  A layer
    // above that wakes the socket for held bytes (after Resume) counts them.
    std::size_t SocksLeftover() const { return leftover_.size(); }
    // Bytes the system holds for this socket (0 also when it cannot say).
    int WaitingInSystem() const;

    void ResetDefaults() override;
    int GetRcvdCount() override;
    bool TriggerDataAvailable(int error) override;
    void TriggerSessionConnected(int error) override;
    void TriggerSessionClosed(int error) override;
    int RawReceive(void* buffer, int size, int flags) override;

    virtual void TriggerSocksConnected(int error);
    virtual void TriggerSocksError(int error, const std::string& msg);
    void TriggerSocksAuthState(TSocksAuthState state);

private:
    enum class Phase {
        Data,         // no negotiation (also a socket without a proxy)
        Methods,      // waiting for the method choice (version 4: about to ask)
        Authenticate, // waiting for the answer to user name / password
        Connect,      // waiting for the answer to the connect request
    };

    bool Level4() const { return !socksLevel_.empty() && socksLevel_[0] == '4'; }
    // Refuses before connecting what the proxy's requests could not carry.
    bool RequestsFit();
    void SendSocksCredentials();
    void SendSocksRequest();
    void SocksFail(int error, const std::string& msg);
    // Reads what waits, until the reply buffer holds `want` bytes; a read
    // that fails waits for the next notification.
    void ReadReply(std::size_t want);
    // The negotiation ended well: announce the session, then hand on
    // what came with the reply.
    bool SocksSucceeded();
    bool DeliverLeftovers(int error);
    void SendBytes(const std::string& bytes);

    std::string socksServer_, socksPort_;
    std::string socksLevel_ = "5";
    std::string socksUsercode_, socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;

    Phase phase_ = Phase::Data;
    std::uint8_t offeredMethod_ = socks::kMethodNone;
    std::uint16_t destPort_ = 0; // the destination's port for the request
    std::string reply_;          // the proxy's reply so far (at most kReplyBufferSize)
    std::string leftover_;       // bytes after the last reply, served before the system's
};

} // namespace qordex
