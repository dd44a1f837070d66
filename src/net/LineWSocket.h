#pragma once
// The line layer of the socket: with LineMode on, received bytes collect in
// a buffer and OnDataAvailable is raised once per complete line (ending with
// LineEnd), which the handler reads with Receive or ReceiveText.  It can
// echo and edit what an interactive client types, and lets an engine switch
// between lines and raw bytes in the middle of a stream without losing what
// it holds.
//
// Delivery rules, for the engines above:
// * a line is offered until the handler has read it, as long as each pass
//   takes some of it; a handler that takes nothing is offered it again with
//   the next notification (new bytes, Resume, a LineMode change);
// * in line mode Receive gives the line on offer and then fails with
//   10035 (would block), so a handler may read until Receive fails;
// * lines already complete in the buffer are delivered without waiting for
//   the network, also after Resume and after switching LineMode on;
// * switching LineMode off inside a handler hands the bytes held after the
//   line to the same handler as raw data, in order, before any new ones;
// * what is held when the session ends comes before OnSessionClosed: the
//   complete lines one by one, then the bytes without terminator as a
//   last line; unless a handler of this layer closed the socket while its
//   line was on offer (then the rest is dropped);
// * every handler may close, abort, reconnect or free the socket.
//
// Reached through net/WSocket.h, which includes it after the core.

#ifndef QORDEX_WSOCKET_LAYERS
#error "include net/WSocket.h, not the layer headers"
#endif

#include "net/LineBuffer.h"

#include <functional>
#include <string>

namespace qordex {

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    // The buffer holds more than LineLimit bytes without a terminator.
    // ClearData (preset true) discards them; set it false to keep them.
    std::function<void(TCustomWSocket* Sender, int RcvdLength, bool& ClearData)>
        OnLineLimitExceeded;

    // ---- properties; they keep their values from session to session ----
    bool LineMode() const { return lineMode_; }
    // Changes the mode at any time, also inside a handler.
    virtual void SetLineMode(bool v);
    // The terminator searched for, byte for byte; empty means raw.
    const std::string& LineEnd() const { return lineEnd_; }
    void SetLineEnd(const std::string& v) { lineEnd_ = v; }
    // Bytes held without a terminator before OnLineLimitExceeded; 0 or less
    // means no limit.
    int LineLimit() const { return lineLimit_; }
    void SetLineLimit(int v) { lineLimit_ = v; }
    // Sends every received byte back.
    bool LineEcho() const { return lineEcho_; }
    void SetLineEcho(bool v) { lineEcho_ = v; }
    // Applies backspace and tab editing to received bytes.
    bool LineEdit() const { return lineEdit_; }
    void SetLineEdit(bool v) { lineEdit_ = v; }

    // Also hands on the lines held while paused.
    void Resume() override;

protected:
    void WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) override;
    bool TriggerDataAvailable(int error) override;
    int RawReceive(void* buffer, int size, int flags) override;
    // In line mode the length of the line on offer (0 when none).
    int GetRcvdCount() override;
    void TriggerSessionClosed(int error) override;
    void ResetDefaults() override;

    virtual void TriggerLineLimitExceeded(int rcvdLength, bool& clearData);

private:
    enum class Offer { Taken, Stalled, Gone };

    bool LineActive() const { return lineMode_ && !lineEnd_.empty(); }
    // Moves what the layers below hold into the buffer (editing and
    // echoing it); false when a handler ended the session meanwhile.
    bool Fill(const LifeCheck& life);
    // Hands out what the buffer holds: lines, or raw bytes once LineMode is
    // off, until the handler takes nothing.
    void DeliverHeld(const LifeCheck& life);
    // Offers the first `length` bytes as a line until it is read.
    Offer OfferLine(const LifeCheck& life, std::size_t length);
    // Raises the lower layer's data event for the bytes at the front.
    bool OfferBytes(const LifeCheck& life);
    void CheckLimit(const LifeCheck& life);

    LineBuffer buffer_;
    std::size_t pending_ = 0; // bytes at the front forming the line on offer
    int offering_ = 0;        // data events of this layer in progress
    bool clearing_ = false;   // OnLineLimitExceeded runs

    bool lineMode_ = false;
    std::string lineEnd_ = "\r\n";
    int lineLimit_ = 65536;
    bool lineEcho_ = false;
    bool lineEdit_ = false;
};

} // namespace qordex
