#pragma once
// Readiness notifications for one non-blocking socket, delivered the way the
// socket layer expects them: as FD_* event bits with an error number, through
// the owner thread's hidden window, in one first-in-first-out queue with every
// other message posted to that window.
//
// Linux has no such service; it is built on QSocketNotifier:
//   FD_CONNECT  writability of a connecting socket plus SO_ERROR;
//   FD_READ     data waits; re-armed by a receive call (as the platform
//               does), so a burst costs one notification and a handler that
//               reads nothing is not woken again and again for the same
//               input; after a notification nobody read from, more input
//               (more bytes, or another datagram) is announced again;
//   FD_CLOSE    the peer's end of stream (error 0) or a reset (10054), seen
//               only after the waiting data has been read;
//   FD_WRITE    once after a completed connect (and on request after Dup),
//               then only after a send that would have blocked;
//   FD_ACCEPT   a connection waits on a listening socket; re-armed by accept.
//
// While nothing is selected (Select(0): a paused socket) notifications are
// dropped; selecting again reports every condition that still holds: data,
// a connection to accept, the close, a finished connect (with its error)
// and room to write when a write notification was dropped.
//
// Descriptor numbers are reused by Linux at once, so a notification carries a
// tag made of the descriptor and a generation: a notification queued for a
// descriptor that was detached meanwhile is dropped.

#include "platform/HiddenWindow.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace qordex {

enum : unsigned {
    FD_READ = 0x01,
    FD_WRITE = 0x02,
    FD_OOB = 0x04,
    FD_ACCEPT = 0x08,
    FD_CONNECT = 0x10,
    FD_CLOSE = 0x20,
};

// Builds and splits the second parameter of a socket notification:
// event bits in the low 16 bits, the error number in the high 16 bits.
constexpr LPARAM WSAMakeSelectReply(unsigned event, int error) {
    return LPARAM((unsigned(error) & 0xFFFFu) << 16 | (event & 0xFFFFu));
}
constexpr unsigned WSAGetSelectEvent(LPARAM l) {
    return unsigned(l) & 0xFFFFu;
}
constexpr int WSAGetSelectError(LPARAM l) {
    return int((unsigned(l) >> 16) & 0xFFFFu);
}

// The tag identifying one descriptor's life: generation in the high 32 bits,
// the descriptor in the low 32 bits.  0 means "no descriptor".
using SocketTag = WPARAM;
constexpr int SocketTagFd(SocketTag tag) {
    return int(std::uint32_t(tag));
}

class AsyncSelect {
public:
    // `deliver` runs on the window's thread, from its loop, for each
    // notification whose descriptor is still attached.  It may destroy the
    // AsyncSelect and its owner.
    using Deliver = std::function<void(SocketTag tag, unsigned event, int error)>;

    AsyncSelect(HiddenWindow* window, Deliver deliver);
    ~AsyncSelect();
    AsyncSelect(const AsyncSelect&) = delete;
    AsyncSelect& operator=(const AsyncSelect&) = delete;

    // Starts watching a descriptor (nothing is selected yet).  A new tag is
    // made; notifications for any earlier descriptor are dropped from now on.
    void Attach(int fd);
    // Stops watching; call before closing the descriptor.
    void Detach();
    SocketTag Tag() const;

    // Selects the notifications wanted; 0 stops them all (pause).  What was
    // dropped meanwhile and still holds is reported again.  Returns 0 or an
    // error number when nothing is attached.
    int Select(unsigned mask);
    unsigned Mask() const;

    // A non-blocking connect was started: FD_CONNECT follows when it ends.
    void ConnectStarted();
    // A send would have blocked (or was partial): FD_WRITE follows once the
    // socket can take more.
    void SendWouldBlock();
    // A receive call (re-enables FD_READ and the close detection) or an
    // accept call (re-enables FD_ACCEPT).
    void ReceiveCalled();
    void AcceptCalled();

    // Queues a notification as if the system had produced it.
    void PostNotification(unsigned event, int error);

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace qordex
