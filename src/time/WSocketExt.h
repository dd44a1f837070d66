#pragma once
// A socket that delivers each arrival of data as one buffer with its
// sender's address, and can keep its protocol, address and port when it
// closes.  The time client stands on it.

#include "net/WSocket.h"

#include <cstdint>
#include <functional>
#include <string>

namespace qordex {

class TWSocketExt : public TWSocket {
public:
    TWSocketExt();

    // One arrival of data: all the bytes that waited (one datagram over
    // UDP, possibly empty), the sender in dotted form and its port.  With
    // nothing waiting (a stream at its end) it fires with no buffer, count
    // 0, an empty address and port 0.  The handler may free the sender.
    std::function<void(TCustomWSocket* Sender, const char* Buf, int Count,
                       const std::string& FromAddr, std::uint16_t FromPort)>
        OnReceiveBuffer;

    // The Port text as a number: 0 when it is not a decimal number.
    std::uint16_t PortNumber() const;
    void SetPortNumber(std::uint16_t v);
    // Keeps Proto, Addr and Port across a close.
    bool PreserveSettings() const { return preserveSettings_; }
    void SetPreserveSettings(bool v) { preserveSettings_ = v; }

    // Sends a buffer to `ToAddr`:`ToPort`, or to Addr and PortNumber when no
    // address is given.  Over UDP it goes out as one datagram even when
    // empty (Send of nothing sends nothing); over TCP it is Send.  Returns
    // the bytes sent, -1 on failure (LastError tells why).
    int SendBufferTo(const void* Data, int Len, const std::string& ToAddr = {},
                     std::uint16_t ToPort = 0);

protected:
    virtual void TriggerReceiveBuffer(const char* buf, int count, const std::string& fromAddr,
                                      std::uint16_t fromPort);
    bool TriggerDataAvailable(int error) override;
    void ResetDefaults() override;
    bool IsDatagram() const;

private:
    // Reads what waits and fires TriggerReceiveBuffer; always true (handled).
    bool ReadArrival();

    bool preserveSettings_ = false;
};

} // namespace qordex
