#include "net/WSocket.h"

#include "platform/SocketErrors.h"

#include <algorithm>
#include <climits>
#include <sys/socket.h>

namespace qordex {

// ---- properties ------------------------------------------------------------

void TCustomLineWSocket::SetLineMode(bool v) {
    if (v == lineMode_)
        return;
    lineMode_ = v;
    // What is held now goes out the other way, from the loop; inside a
    // delivery the running loop hands it on itself and the message finds
    // nothing left to do.
    if (!buffer_.Empty() || pending_ > 0)
        PostToSelf(WM_TRIGGER_DATA_AVAILABLE, Tag());
}

void TCustomLineWSocket::TriggerLineLimitExceeded(int rcvdLength, bool& clearData) {
    if (auto h = OnLineLimitExceeded)
        h(this, rcvdLength, clearData);
}

// ---- waking for held bytes ------------------------------------------------------

void TCustomLineWSocket::Resume() {
    TCustomSocksWSocket::Resume();
    // The system announces only its own bytes again: the ones held here
    // (and the proxy's leftovers below) need a wake-up of their own.
    if (!buffer_.Empty() || SocksLeftover() > 0)
        PostToSelf(WM_TRIGGER_DATA_AVAILABLE, Tag());
}

void TCustomLineWSocket::WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_TRIGGER_DATA_AVAILABLE) {
        TCustomSocksWSocket::WndProc(msg, wParam, lParam);
        return;
    }
    // A request from an earlier session, or one already served, does nothing.
    if (wParam != Tag() || Paused() || (buffer_.Empty() && SocksLeftover() == 0))
        return;
    TriggerDataAvailable(0);
}

// ---- receiving -------------------------------------------------------------------

bool TCustomLineWSocket::Fill(const LifeCheck& life) {
    const std::size_t oldHeld = buffer_.Size();
    if (oldHeld >= kLineBufferCeiling)
        return true; // the peer waits until the application takes some
    std::size_t room = kLineBufferCeiling - oldHeld;
    // The bytes that came with the proxy's reply come first.
    if (const std::size_t n = std::min(SocksLeftover(), room)) {
        const int got = TCustomSocksWSocket::RawReceive(buffer_.Reserve(n), int(n), 0);
        buffer_.Commit(got > 0 ? std::size_t(got) : 0);
        room = kLineBufferCeiling - buffer_.Size();
    }
    if (SocksLeftover() == 0 && room > 0) {
        if (const std::size_t n = std::min(std::size_t(WaitingInSystem()), room)) {
            const int got = TCustomSocksWSocket::RawReceive(buffer_.Reserve(n), int(n), 0);
            buffer_.Commit(got > 0 ? std::size_t(got) : 0);
        }
    }
    // A receive error is left in LastError; the held bytes are still searched.
    const std::size_t fresh = buffer_.Size() - oldHeld;
    if (fresh == 0)
        return true;
    std::string echo;
    if (lineEdit_)
        echo = buffer_.Edit(oldHeld, lineEcho_).echo;
    else if (lineEcho_)
        echo.assign(buffer_.Data() + oldHeld, fresh);
    if (echo.empty())
        return true;
    try {
        SendRaw(echo.data(), int(echo.size()));
    } catch (...) {
        // A connection that cannot take the echo ends through the close events.
    }
    return life.Same();
}

bool TCustomLineWSocket::OfferBytes(const LifeCheck& life) {
    ++offering_;
    bool handled = false;
    try {
        handled = TCustomSocksWSocket::TriggerDataAvailable(0);
    } catch (...) {
        if (life.Alive())
            --offering_;
        throw;
    }
    if (life.Alive())
        --offering_;
    return handled;
}

TCustomLineWSocket::Offer TCustomLineWSocket::OfferLine(const LifeCheck& life, std::size_t length) {
    pending_ = length;
    try {
        for (;;) {
            const std::size_t before = pending_;
            const bool handled = OfferBytes(life);
            if (!life.Same())
                return Offer::Gone; // the close dropped what was held
            if (!handled) {
                buffer_.Drop(pending_); // nobody reads lines: dropped
                pending_ = 0;
                return Offer::Taken;
            }
            if (pending_ == 0)
                return Offer::Taken;
            if (!LineActive()) {
                pending_ = 0; // the unread rest of the line is read raw
                return Offer::Taken;
            }
            if (pending_ == before || Paused()) {
                // Offered once per round: the rest stays at the front and is
                // offered again with the next notification.
                pending_ = 0;
                return Offer::Stalled;
            }
        }
    } catch (...) {
        if (life.Alive())
            pending_ = 0;
        throw;
    }
}

void TCustomLineWSocket::CheckLimit(const LifeCheck& life) {
    if (lineLimit_ <= 0 || buffer_.Size() <= std::size_t(lineLimit_))
        return;
    bool clear = true;
    clearing_ = true;
    try {
        TriggerLineLimitExceeded(int(std::min<std::size_t>(buffer_.Size(), INT_MAX)), clear);
    } catch (...) {
        if (life.Alive())
            clearing_ = false;
        throw;
    }
    if (!life.Alive())
        return;
    clearing_ = false;
    if (life.Same() && clear)
        buffer_.Clear();
}

void TCustomLineWSocket::DeliverHeld(const LifeCheck& life) {
    while (!buffer_.Empty() && !Paused()) {
        if (LineActive()) {
            const std::size_t length = buffer_.FindLine(lineEnd_);
            if (length == 0) {
                CheckLimit(life);
                return;
            }
            if (OfferLine(life, length) != Offer::Taken)
                return;
        } else {
            // Raw again with bytes held: they go before anything new.
            const std::size_t before = buffer_.Size();
            const bool handled = OfferBytes(life);
            if (!life.Same())
                return;
            if (!handled) {
                buffer_.Clear(); // nobody reads: dropped, like the system's bytes
                return;
            }
            if (buffer_.Size() == before)
                return;
        }
    }
}

bool TCustomLineWSocket::TriggerDataAvailable(int error) {
    if (SocksNegotiating() || (!LineActive() && buffer_.Empty()))
        return TCustomSocksWSocket::TriggerDataAvailable(error);
    const LifeCheck life(*this);
    if (!LineActive()) {
        DeliverHeld(life);
        if (!life.Same() || Paused() || !buffer_.Empty())
            return true;
        if (!LineActive()) {
            // All held bytes are read: the system's get their pass.
            if (SocksLeftover() == 0 && WaitingInSystem() == 0)
                return true;
            return TCustomSocksWSocket::TriggerDataAvailable(error);
        }
    }
    if (!Fill(life))
        return true;
    DeliverHeld(life);
    return true;
}

int TCustomLineWSocket::RawReceive(void* buffer, int size, int flags) {
    const bool peek = (flags & MSG_PEEK) != 0;
    const std::size_t want = std::size_t(std::max(size, 0));
    if (pending_ > 0) {
        const std::size_t n =
            buffer_.Take(static_cast<char*>(buffer), std::min(want, pending_), peek);
        if (!peek)
            pending_ -= n;
        return int(n);
    }
    // In line mode bytes come out one line per event: a handler that reads
    // until Receive fails gets its line and then "would block", never the
    // bytes of the next line (nor the system's, ahead of the ones held).
    if (LineActive() && !SocksNegotiating()) {
        SetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    // Raw again: held bytes come before the system's.
    if (!buffer_.Empty())
        return int(buffer_.Take(static_cast<char*>(buffer), want, peek));
    return TCustomSocksWSocket::RawReceive(buffer, size, flags);
}

int TCustomLineWSocket::GetRcvdCount() {
    if (pending_ > 0)
        return int(pending_);
    if (LineActive())
        return 0;
    if (!buffer_.Empty())
        return int(std::min<std::size_t>(buffer_.Size(), INT_MAX));
    return TCustomSocksWSocket::GetRcvdCount();
}

// ---- closing ---------------------------------------------------------------------

void TCustomLineWSocket::TriggerSessionClosed(int error) {
    // What is held goes out before the end: complete lines one by one (a
    // paused or closing application may have left some), then the bytes
    // without terminator as the last line.  Not while the limit handler or
    // a data handler of this layer runs: a handler that closes has said it
    // wants nothing more.
    if (LineActive() && !buffer_.Empty() && !clearing_ && offering_ == 0 && !SocksNegotiating()) {
        const LifeCheck life(*this);
        try {
            while (!buffer_.Empty() && LineActive()) {
                std::size_t length = buffer_.FindLine(lineEnd_);
                if (length == 0)
                    length = buffer_.Size();
                if (OfferLine(life, length) != Offer::Taken)
                    break;
            }
        } catch (...) {
            // As in the receive round, a handler's exception ends the delivery.
        }
        if (!life.Alive())
            return;
    }
    buffer_.Release();
    pending_ = 0;
    TCustomSocksWSocket::TriggerSessionClosed(error);
}

void TCustomLineWSocket::ResetDefaults() {
    buffer_.Release();
    pending_ = 0;
    clearing_ = false;
    TCustomSocksWSocket::ResetDefaults();
}

} // namespace qordex
