#pragma once
// The time client component: asks a server for the time with the Time
// protocol (RFC 868, port 37) or the Daytime protocol (RFC 867, port 13),
// over TCP or UDP, and decodes the answer into OnTime or OnDayTime.

#include "time/WSocketExt.h"

#include <functional>
#include <string>

namespace qordex {

// Bytes of a Daytime answer kept over TCP; a server that never stops
// talking must not fill the memory.
constexpr std::size_t kMaxDayTimeAnswer = 64 * 1024;

class TWSTimeClient : public TWSocketExt {
public:
    TWSTimeClient();

    // A Time answer, as a UTC day count (see TimeCodec.h).
    std::function<void(TCustomWSocket* Sender, double DateTime)> OnTime;
    // A Daytime answer, as the text received (up to a zero byte).  Over TCP
    // it fires when the server closes, before OnSessionClosed.
    std::function<void(TCustomWSocket* Sender, const std::string& DateTime)> OnDayTime;

    // Connects to Addr on port 37 (13) and, over UDP, sends the empty
    // request datagram.  Over TCP while a session is open nothing happens.
    // Every answer closes the session, so each request reaches the Addr,
    // Proto and port of its own time.
    void RequestTime();
    void RequestDayTime();

    void Abort() override;

protected:
    void TriggerReceiveBuffer(const char* buf, int count, const std::string& fromAddr,
                              std::uint16_t fromPort) override;
    void TriggerSessionClosed(int error) override;

private:
    void Request(std::uint16_t port);
    // Closes the session after an answer unless a handler moved on.
    void Answered(const LifeCheck& life);

    std::string answer_;   // TCP bytes of this session so far
    bool answered_ = false; // an event fired for this session
};

} // namespace qordex
