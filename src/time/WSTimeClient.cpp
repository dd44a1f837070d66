#include "time/WSTimeClient.h"

#include "base/Text.h"
#include "time/TimeCodec.h"

namespace qordex {

TWSTimeClient::TWSTimeClient() {
    SetPreserveSettings(true);
    SetProto("tcp");
    SetSocksLevel("5");
}

void TWSTimeClient::RequestTime() {
    Request(kTimePort);
}

void TWSTimeClient::RequestDayTime() {
    Request(kDayTimePort);
}

void TWSTimeClient::Request(std::uint16_t port) {
    const bool udp = IsDatagram();
    const std::string p = AsciiLower(Trim(Proto()));
    if (!udp && p != "tcp" && p != "6")
        return;
    if (State() == wsClosed) {
        answer_.clear();
        answered_ = false;
        SetPortNumber(port);
        const LifeCheck life(*this);
        Connect();
        // The connect gave the socket its descriptor: the object, not the
        // descriptor, must have lived through it.
        if (!life.Alive() || !udp || State() == wsClosed)
            return;
    } else if (!udp) {
        return;
    }
    // The request is one empty datagram (RFC 868).
    if (SendBufferTo("", 0) < 0)
        TriggerError();
}

void TWSTimeClient::TriggerReceiveBuffer(const char* buf, int count, const std::string& fromAddr,
                                         std::uint16_t fromPort) {
    const LifeCheck life(*this);
    TWSocketExt::TriggerReceiveBuffer(buf, count, fromAddr, fromPort);
    if (!life.Same() || count <= 0 || answered_)
        return;
    const std::uint16_t port = PortNumber();
    if (IsDatagram()) {
        // One datagram is one answer; an empty or short one is not, and
        // the wait goes on.
        const std::string_view data(buf, std::size_t(count));
        if (port == kTimePort && count >= 4 && OnTime) {
            answered_ = true;
            OnTime(this, DateTimeFromSeconds1900(TimeAnswerSeconds(ReadTimeAnswer(data))));
            Answered(life);
        } else if (port == kDayTimePort && OnDayTime) {
            answered_ = true;
            OnDayTime(this, DayTimeText(data));
            Answered(life);
        }
        return;
    }
    if (answer_.size() < kMaxDayTimeAnswer)
        answer_.append(buf, std::size_t(std::min<std::size_t>(std::size_t(count),
                                                                kMaxDayTimeAnswer - answer_.size())));
    // The 4 bytes of a Time answer may come in several pieces.
    if (port == kTimePort && answer_.size() >= 4 && OnTime) {
        answered_ = true;
        OnTime(this, DateTimeFromSeconds1900(TimeAnswerSeconds(ReadTimeAnswer(answer_))));
        Answered(life);
    }
}

void TWSTimeClient::Answered(const LifeCheck& life) {
    if (life.Same() && State() != wsClosed)
        Close();
}

void TWSTimeClient::TriggerSessionClosed(int error) {
    // A Daytime answer over TCP lasts until the server closes (RFC 867).
    if (error == 0 && !answered_ && !answer_.empty() && !IsDatagram() &&
        PortNumber() == kDayTimePort && OnDayTime) {
        answered_ = true;
        const LifeCheck life(*this);
        OnDayTime(this, DayTimeText(answer_));
        if (!life.Alive())
            return;
    }
    TWSocketExt::TriggerSessionClosed(error);
}

void TWSTimeClient::Abort() {
    // What came before an abort is no answer.
    answer_.clear();
    answered_ = true;
    TWSocketExt::Abort();
}

} // namespace qordex
