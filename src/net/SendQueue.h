#pragma once
// The send buffer of one socket: the bytes the caller queued and the system
// has not taken yet, kept in TBuffer blocks, handed over with as few system
// calls as possible, and the bookkeeping behind OnSendData.
//
// OnSendData reports one piece per SendBlockSize block of the stream,
// counted from the moment the buffer was last empty, whatever the blocks
// really hold: a stream's bulk data is stored in large blocks so that one
// gathering call takes long runs, and those runs are cut back into
// send-block-sized pieces for the event.  A datagram socket keeps one message
// per block and reports one piece per message.
//
// It knows nothing of events or the loop: it is given a descriptor and
// reports what happened, so it can be driven over a socket pair alone.  All
// queues share one lock (the system's one lock for every send buffer); no
// callback ever runs under it.

#include "net/WSockBuf.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace qordex {

// How the bytes of a queue go to the system.
struct SendMode {
    bool datagram = false; // each Append is one message: never split, never joined
    int flags = 0;         // send flags; urgent data (MSG_OOB) goes one piece per call
};

// What one call handing bytes to the system did.
struct SendResult {
    std::vector<int> pieces; // the sizes OnSendData reports, in order
    int error = 0;           // error number of the first failed send (never would-block), else 0
    bool blocked = false;    // the system took less than offered: wait until it can take more
    bool yielded = false;    // the round limit was reached with bytes still queued
};

class SendQueue {
public:
    static constexpr int kDefaultBlockSize = 1460;

    explicit SendQueue(int blockSize = kDefaultBlockSize);
    ~SendQueue();
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    int BlockSize() const { return blockSize_; }
    // 0 or less means the default.
    void SetBlockSize(int size);
    // Bytes queued and not yet taken by the system.
    long long Bytes() const;
    // Capacity of every block held, the spare ones included: the memory the
    // queue keeps.
    std::size_t HeldBytes() const;

    // Appends bytes; nothing for len <= 0.
    void Append(const void* data, int len, const SendMode& mode);
    // With nothing queued, a stream hands `data` straight to the system and
    // queues only the part it did not take.  Returns false, doing nothing,
    // when the bytes must be queued and sent the usual way.
    bool SendDirect(int fd, const void* data, int len, const SendMode& mode, SendResult& result);
    // Hands queued bytes to `fd` until the system takes less than offered,
    // the queue is empty, a send fails, or `roundLimit` bytes went out.  `to`
    // is the destination of an unconnected datagram socket (nullptr: none).
    // A stream keeps the bytes of a failed send; a datagram that fails is
    // dropped (and the error reported) and the next ones still go out.
    SendResult Send(int fd, const SendMode& mode, const sockaddr_in* to, std::size_t roundLimit);
    // Takes every queued byte out, in order, and lets the blocks go.
    std::string TakeAll();
    // Drops everything queued and the spare blocks.
    void Clear();

private:
    std::unique_ptr<TBuffer> NewBlockLocked(int wanted, const SendMode& mode);
    void RecycleLocked(std::unique_ptr<TBuffer> b);
    void AppendLocked(const char* p, int len, const SendMode& mode);
    void PiecesLocked(std::size_t n, std::vector<int>& pieces);
    void DropFrontMessageLocked();
    // Removes `n` sent bytes from the front and records their pieces.
    void ConsumeLocked(std::size_t n, const SendMode& mode, SendResult& r);

    std::deque<std::unique_ptr<TBuffer>> blocks_; // queued bytes, oldest first
    std::vector<std::unique_ptr<TBuffer>> spare_; // emptied blocks kept for reuse
    int blockSize_;                               // SendBlockSize
    int blockPhase_ = 0; // offset inside the current send block, for the pieces
    long long bytes_ = 0;
};

} // namespace qordex
