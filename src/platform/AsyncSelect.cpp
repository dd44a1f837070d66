#include "platform/AsyncSelect.h"

#include "platform/SocketErrors.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace qordex {

namespace {
std::atomic<std::uint32_t> g_generation{0};
constexpr int kIdleWatchMs = 50;
} // namespace

struct AsyncSelect::Core : std::enable_shared_from_this<AsyncSelect::Core> {
    HiddenWindow* window = nullptr;
    Deliver deliver;
    int fd = -1;
    SocketTag tag = 0;
    unsigned mask = 0;
    bool listening = false;  // readability means FD_ACCEPT
    bool datagram = false;   // readability means FD_READ, never FD_CLOSE
    bool connecting = false; // writability means FD_CONNECT
    bool writeWanted = false;
    int readPending = 0;      // read/accept notifications queued or being handled
    bool rearmWanted = false; // a re-enabling call happened meanwhile
    bool closeSeen = false;   // FD_CLOSE was produced: nothing more to read
    // Notifications dropped while nothing was selected (a paused socket)
    // whose condition no notifier would show again: reported on the next
    // Select.  A dropped read, accept or close is seen again by watching.
    bool droppedConnect = false;
    int droppedConnectError = 0;
    bool droppedWrite = false;
    std::unique_ptr<QSocketNotifier> readNote;
    std::unique_ptr<QSocketNotifier> writeNote;
    // After a read notification that nobody read from, the waiting bytes
    // must not wake us again; this timer watches instead for more bytes or
    // the peer's close, and announces those.
    std::unique_ptr<QTimer> idleTimer;
    int idleWaiting = 0;

    // How much input waits: the bytes of a stream; for datagrams the memory
    // of the whole receive queue, since the byte count the system gives is
    // that of the first datagram only and would not grow with new ones.
    int QueuedInput() const {
        if (datagram) {
            std::uint32_t mem[SK_MEMINFO_VARS] = {};
            socklen_t len = sizeof mem;
            if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, mem, &len) == 0 &&
                len > SK_MEMINFO_RMEM_ALLOC * sizeof mem[0])
                return int(std::min<std::uint32_t>(mem[SK_MEMINFO_RMEM_ALLOC], INT32_MAX));
        }
        int n = 0;
        if (::ioctl(fd, FIONREAD, &n) < 0)
            n = 0;
        return n;
    }

    void StartIdleWatch() {
        if (fd < 0 || closeSeen || listening)
            return;
        idleWaiting = QueuedInput();
        if (!idleTimer) {
            idleTimer = std::make_unique<QTimer>();
            idleTimer->setInterval(kIdleWatchMs);
            Core* raw = this;
            QObject::connect(idleTimer.get(), &QTimer::timeout, idleTimer.get(),
                             [raw] { raw->IdleTick(); });
        }
        idleTimer->start();
    }

    void StopIdleWatch() {
        if (idleTimer)
            idleTimer->stop();
    }

    void IdleTick() {
        if (fd < 0 || closeSeen || readPending > 0 || mask == 0) {
            StopIdleWatch();
            return;
        }
        if (QueuedInput() > idleWaiting) {
            StopIdleWatch();
            if (mask & FD_READ)
                Post(FD_READ, 0);
            return;
        }
        if (datagram)
            return; // no close to watch for
        pollfd p{fd, short(POLLRDHUP), 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
            StopIdleWatch();
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            closeSeen = true;
            if (mask & FD_CLOSE)
                Post(FD_CLOSE, ErrnoToWsa(err));
        }
    }

    void Update() {
        if (!readNote)
            return;
        bool wantRead = (mask & (FD_READ | FD_ACCEPT | FD_CLOSE)) && !connecting && !closeSeen &&
                        readPending == 0;
        bool wantWrite = mask != 0 && (connecting || writeWanted);
        readNote->setEnabled(wantRead);
        writeNote->setEnabled(wantWrite);
    }

    void Post(unsigned event, int error) {
        std::weak_ptr<Core> weak = shared_from_this();
        SocketTag t = tag;
        if (event & (FD_READ | FD_ACCEPT))
            ++readPending;
        window->PostCall([weak, t, event, error] {
            auto c = weak.lock();
            if (!c || c->tag != t || t == 0)
                return; // the descriptor was detached: a stale notification
            if (c->mask == 0) {
                c->Dropped(event, error);
            } else if (Deliver d = c->deliver) {
                d(t, event, error);
                if (c->tag != t)
                    return; // closed by the handler
            }
            if (event & (FD_READ | FD_ACCEPT)) {
                --c->readPending;
                // Only a receive (or accept) call re-enables the notification;
                // without one, the same waiting bytes would wake us for ever.
                if (c->readPending == 0) {
                    if (c->rearmWanted) {
                        c->rearmWanted = false;
                        c->Update();
                    } else if (event & FD_READ) {
                        c->StartIdleWatch();
                    }
                }
            }
        });
    }

    void Dropped(unsigned event, int error) {
        if (event & FD_CONNECT) {
            droppedConnect = true;
            droppedConnectError = error;
        }
        if (event & FD_WRITE)
            droppedWrite = true;
    }

    // After a pause: what was dropped meanwhile and still holds comes again.
    void ReportDropped() {
        if (droppedConnect) {
            droppedConnect = false;
            Post(FD_CONNECT, droppedConnectError);
        }
        if (droppedWrite && (mask & FD_WRITE)) {
            droppedWrite = false;
            Post(FD_WRITE, 0);
        }
    }

    void OnReadable() {
        readNote->setEnabled(false);
        if (listening) {
            if (mask & FD_ACCEPT)
                Post(FD_ACCEPT, 0);
            return;
        }
        if (datagram) {
            if (mask & FD_READ)
                Post(FD_READ, 0);
            return;
        }
        char c;
        ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            if (mask & FD_READ)
                Post(FD_READ, 0);
            return; // without FD_READ selected, a later Select re-arms
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            Update();
            return;
        }
        // End of stream, or an error such as a reset: the close notification,
        // produced only when no data waits any more.
        closeSeen = true;
        if (mask & FD_CLOSE)
            Post(FD_CLOSE, n == 0 ? 0 : ErrnoToWsa(errno));
    }

    void OnWritable() {
        writeNote->setEnabled(false);
        if (connecting) {
            connecting = false;
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
                err = errno;
            int wsa = ErrnoToWsa(err);
            if (wsa == WSAEWOULDBLOCK) // never a valid connect result
                wsa = 0;
            Post(FD_CONNECT, wsa);
            if (wsa == 0 && (mask & FD_WRITE))
                Post(FD_WRITE, 0);
            if (wsa == 0)
                Update();
            return;
        }
        writeWanted = false;
        if (mask & FD_WRITE)
            Post(FD_WRITE, 0);
    }
};

AsyncSelect::AsyncSelect(HiddenWindow* window, Deliver deliver) : core_(std::make_shared<Core>()) {
    core_->window = window;
    core_->deliver = std::move(deliver);
}

AsyncSelect::~AsyncSelect() {
    Detach();
}

void AsyncSelect::Attach(int fd) {
    Detach();
    Core& c = *core_;
    c.fd = fd;
    std::uint32_t gen = ++g_generation;
    if (gen == 0)
        gen = ++g_generation;
    c.tag = (SocketTag(gen) << 32) | SocketTag(std::uint32_t(fd));
    int v = 0;
    socklen_t len = sizeof v;
    c.listening = ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &v, &len) == 0 && v != 0;
    len = sizeof v;
    c.datagram = ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &v, &len) == 0 && v != SOCK_STREAM;
    c.readNote = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    c.writeNote = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    c.readNote->setEnabled(false);
    c.writeNote->setEnabled(false);
    Core* raw = &c;
    QObject::connect(c.readNote.get(), &QSocketNotifier::activated, c.readNote.get(),
                     [raw] { raw->OnReadable(); });
    QObject::connect(c.writeNote.get(), &QSocketNotifier::activated, c.writeNote.get(),
                     [raw] { raw->OnWritable(); });
}

void AsyncSelect::Detach() {
    Core& c = *core_;
    c.idleTimer.reset();
    c.readNote.reset();
    c.writeNote.reset();
    c.fd = -1;
    c.tag = 0;
    c.mask = 0;
    c.listening = c.datagram = c.connecting = c.writeWanted = false;
    c.readPending = 0;
    c.rearmWanted = c.closeSeen = false;
    c.droppedConnect = c.droppedWrite = false;
}

SocketTag AsyncSelect::Tag() const {
    return core_->tag;
}

int AsyncSelect::Select(unsigned mask) {
    Core& c = *core_;
    if (c.fd < 0)
        return WSAENOTSOCK;
    c.mask = mask;
    // Selecting again reports a close that still holds: the notification
    // produced earlier may have been dropped meanwhile (a paused socket).
    if (mask & FD_CLOSE)
        c.closeSeen = false;
    // listen() may have come after Attach.
    int v = 0;
    socklen_t len = sizeof v;
    if (!c.datagram)
        c.listening = ::getsockopt(c.fd, SOL_SOCKET, SO_ACCEPTCONN, &v, &len) == 0 && v != 0;
    c.Update();
    if (mask != 0)
        c.ReportDropped();
    return 0;
}

unsigned AsyncSelect::Mask() const {
    return core_->mask;
}

void AsyncSelect::ConnectStarted() {
    core_->connecting = true;
    core_->Update();
}

void AsyncSelect::SendWouldBlock() {
    core_->writeWanted = true;
    core_->Update();
}

void AsyncSelect::ReceiveCalled() {
    Core& c = *core_;
    if (c.fd < 0 || c.closeSeen || c.listening)
        return;
    c.StopIdleWatch();
    if (c.readPending > 0) {
        c.rearmWanted = true; // re-armed once the queued notification is handled
        return;
    }
    c.Update();
}

void AsyncSelect::AcceptCalled() {
    Core& c = *core_;
    if (c.fd < 0)
        return;
    if (c.readPending > 0)
        c.rearmWanted = true;
    else
        c.Update();
}

void AsyncSelect::PostNotification(unsigned event, int error) {
    if (core_->fd < 0)
        return;
    core_->Post(event, error);
}

} // namespace qordex
