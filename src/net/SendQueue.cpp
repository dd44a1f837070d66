#include "net/SendQueue.h"

#include "platform/SocketErrors.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <sys/socket.h>
#include <sys/uio.h>

namespace qordex {

namespace {

// Shared by the send buffers of all sockets; never held while an event runs.
std::mutex g_sendLock;

constexpr int kMaxIov = 256;                // blocks gathered into one system call
constexpr int kBulkBlockBytes = 64 * 1024;  // capacity of the blocks of a bulk send
constexpr std::size_t kIdleSpareBlocks = 1; // blocks an idle queue keeps
constexpr std::size_t kSpareBlocks = 32;    // emptied blocks kept while sending

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

} // namespace

SendQueue::SendQueue(int blockSize) : blockSize_(blockSize > 0 ? blockSize : kDefaultBlockSize) {}

SendQueue::~SendQueue() = default;

void SendQueue::SetBlockSize(int size) {
    std::lock_guard lock(g_sendLock);
    blockSize_ = size > 0 ? size : kDefaultBlockSize;
    blockPhase_ = 0;
}

long long SendQueue::Bytes() const {
    std::lock_guard lock(g_sendLock);
    return bytes_;
}

std::size_t SendQueue::HeldBytes() const {
    std::lock_guard lock(g_sendLock);
    std::size_t n = 0;
    for (const auto& b : blocks_)
        n += std::size_t(b->BufSize());
    for (const auto& b : spare_)
        n += std::size_t(b->BufSize());
    return n;
}

// A stream's bulk data is stored in blocks of many send-block sizes, so that
// one system call takes large runs; datagram sockets keep one message per
// block, and urgent data keeps the block size too.  Emptied blocks are reused.
std::unique_ptr<TBuffer> SendQueue::NewBlockLocked(int wanted, const SendMode& mode) {
    int size = blockSize_;
    if (mode.datagram)
        size = std::max(wanted, blockSize_); // the whole message
    else if (mode.flags == 0 && wanted > blockSize_)
        size = blockSize_ * std::max(1, kBulkBlockBytes / blockSize_);
    for (auto it = spare_.rbegin(); it != spare_.rend(); ++it) {
        if ((*it)->BufSize() == size) {
            auto b = std::move(*it);
            spare_.erase(std::next(it).base());
            return b;
        }
    }
    return std::make_unique<TBuffer>(size);
}

void SendQueue::RecycleLocked(std::unique_ptr<TBuffer> b) {
    if (spare_.size() < kSpareBlocks)
        spare_.push_back(std::move(b));
}

void SendQueue::Append(const void* data, int len, const SendMode& mode) {
    if (len <= 0 || !data)
        return;
    std::lock_guard lock(g_sendLock);
    AppendLocked(static_cast<const char*>(data), len, mode);
}

void SendQueue::AppendLocked(const char* p, int len, const SendMode& mode) {
    bytes_ += len;
    if (mode.datagram) {
        // A message is neither split over blocks nor joined to the one queued before.
        blocks_.push_back(NewBlockLocked(len, mode));
        blocks_.back()->Write(p, len);
        return;
    }
    int n = blocks_.empty() ? 0 : blocks_.back()->Write(p, len);
    while (n < len) {
        blocks_.push_back(NewBlockLocked(len - n, mode));
        n += blocks_.back()->Write(p + n, len - n);
    }
}

// Splits `n` bytes handed to the system into the pieces OnSendData reports:
// each piece lies inside one send block of the stream, counted from the
// moment the buffer was last empty, exactly as if every block held
// SendBlockSize bytes.
void SendQueue::PiecesLocked(std::size_t n, std::vector<int>& pieces) {
    while (n > 0) {
        int take = int(std::min<std::size_t>(n, std::size_t(blockSize_ - blockPhase_)));
        pieces.push_back(take);
        blockPhase_ = (blockPhase_ + take) % blockSize_;
        n -= std::size_t(take);
    }
}

void SendQueue::ConsumeLocked(std::size_t n, const SendMode& mode, SendResult& r) {
    std::size_t left = n;
    for (auto& b : blocks_) {
        if (left == 0)
            break;
        int unread = b->Unread();
        if (unread == 0)
            continue;
        int take = int(std::min<std::size_t>(left, std::size_t(unread)));
        b->Remove(take);
        left -= std::size_t(take);
    }
    if (mode.datagram)
        r.pieces.push_back(int(n)); // one message
    else
        PiecesLocked(n, r.pieces);
    bytes_ = std::max(0LL, bytes_ - (long long)n);
    if (bytes_ == 0)
        blockPhase_ = 0; // drained: the next byte starts a block
}

void SendQueue::DropFrontMessageLocked() {
    for (auto& b : blocks_) {
        int unread = b->Unread();
        if (unread == 0)
            continue;
        b->Remove(unread);
        bytes_ = std::max(0LL, bytes_ - unread);
        return;
    }
}

bool SendQueue::SendDirect(int fd, const void* data, int len, const SendMode& mode,
                           SendResult& result) {
    if (mode.datagram || mode.flags != 0 || fd < 0 || len <= 0)
        return false;
    std::lock_guard lock(g_sendLock);
    if (bytes_ != 0)
        return false;
    const char* p = static_cast<const char*>(data);
    ssize_t n = ::send(fd, p, std::size_t(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        if (!WouldBlock(errno) && errno != EINTR)
            return false; // the usual path reports the failure
        n = 0;
    }
    blockPhase_ = 0; // the buffer was empty: a fresh block starts here
    PiecesLocked(std::size_t(n), result.pieces);
    if (n < len) {
        result.blocked = true;
        AppendLocked(p + n, len - int(n), mode);
    } else {
        blockPhase_ = 0;
    }
    return true;
}

SendResult SendQueue::Send(int fd, const SendMode& mode, const sockaddr_in* to,
                           std::size_t roundLimit) {
    SendResult r;
    std::lock_guard lock(g_sendLock);
    if (fd < 0)
        return r;
    const bool gather = !mode.datagram && mode.flags == 0;
    std::size_t handed = 0;
    for (;;) {
        while (!blocks_.empty() && blocks_.front()->Unread() == 0) {
            RecycleLocked(std::move(blocks_.front()));
            blocks_.pop_front();
        }
        if (bytes_ == 0) {
            // Drained: an idle connection keeps one block, the last one used,
            // for its next message; a server with many idle clients would
            // otherwise hold a large send's blocks for each of them.
            if (spare_.size() > kIdleSpareBlocks)
                spare_.erase(spare_.begin(), spare_.end() - kIdleSpareBlocks);
            break;
        }
        iovec iov[kMaxIov];
        int count = 0;
        std::size_t total = 0;
        for (auto& b : blocks_) {
            int len = 0;
            const char* p = b->Peek(len);
            if (len <= 0)
                continue;
            if (!mode.datagram && !gather)
                len = std::min(len, blockSize_ - blockPhase_); // one piece
            iov[count].iov_base = const_cast<char*>(p);
            iov[count].iov_len = std::size_t(len);
            total += std::size_t(len);
            if (++count == kMaxIov || !gather)
                break;
        }
        ssize_t n;
        if (count == 1 && mode.datagram && to)
            n = ::sendto(fd, iov[0].iov_base, iov[0].iov_len,
                         mode.flags | MSG_NOSIGNAL | MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(to), sizeof *to);
        else if (count == 1)
            n = ::send(fd, iov[0].iov_base, iov[0].iov_len,
                       mode.flags | MSG_NOSIGNAL | MSG_DONTWAIT);
        else {
            msghdr mh{};
            mh.msg_iov = iov;
            mh.msg_iovlen = std::size_t(count);
            n = ::sendmsg(fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (WouldBlock(errno)) {
                r.blocked = true;
                break;
            }
            if (r.error == 0)
                r.error = ErrnoToWsa(errno);
            if (!mode.datagram)
                break;
            // A datagram that the system refuses (too long, no route) is
            // done: it is dropped, so it cannot wedge the ones behind it.
            DropFrontMessageLocked();
            continue;
        }
        if (n == 0)
            break;
        ConsumeLocked(std::size_t(n), mode, r);
        if (std::size_t(n) < total) {
            r.blocked = true; // the system took part: wait until it can take more
            break;
        }
        handed += std::size_t(n);
        if (handed >= roundLimit && bytes_ > 0) {
            r.yielded = true; // a fast peer must not keep the thread's loop from running
            break;
        }
    }
    return r;
}

std::string SendQueue::TakeAll() {
    std::lock_guard lock(g_sendLock);
    std::string out;
    out.reserve(std::size_t(bytes_));
    for (auto& b : blocks_) {
        int len = 0;
        const char* p = b->Peek(len);
        if (len > 0)
            out.append(p, std::size_t(len));
    }
    blocks_.clear();
    spare_.clear();
    bytes_ = 0;
    blockPhase_ = 0;
    return out;
}

void SendQueue::Clear() {
    std::lock_guard lock(g_sendLock);
    blocks_.clear();
    spare_.clear();
    bytes_ = 0;
    blockPhase_ = 0;
}

} // namespace qordex
