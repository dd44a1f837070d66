#include "net/LingeringClose.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace qordex {

namespace {

constexpr std::size_t kCloseDrainLimit = 64u << 20; // input discarded while closing

// One close in progress; frees itself when done.  The socket object that
// started it is already closed and may be gone meanwhile.
class LingeringClose : public QObject {
public:
    LingeringClose(int fd, std::string pending) : fd_(fd), pending_(std::move(pending)) {
        writeNote_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
        readNote_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        writeNote_->setEnabled(false);
        readNote_->setEnabled(false);
        connect(writeNote_, &QSocketNotifier::activated, this, [this] { Push(); });
        connect(readNote_, &QSocketNotifier::activated, this, [this] { Drain(); });
        // A peer that never reads or never closes must not keep the
        // descriptor for ever.
        QTimer::singleShot(kLingerLimitMs, this, [this] { Finish(); });
        // A worker thread's loop stops with the thread: what is left is
        // finished before the thread ends, or the descriptor would stay open
        // and the queued bytes would never leave.
        QThread* thread = QThread::currentThread();
        if (QCoreApplication::instance() && thread != QCoreApplication::instance()->thread())
            connect(
                thread, &QThread::finished, this, [this] { FinishNow(); }, Qt::DirectConnection);
        else
            WatchProgramEnd();
        Push();
    }
    ~LingeringClose() override {
        if (onMainThread_)
            MainThreadCloses().erase(this);
        delete writeNote_; // before the descriptor goes
        delete readNote_;
        if (fd_ >= 0)
            ::close(fd_);
    }

private:
    static constexpr int kLingerLimitMs = 30000;
    static constexpr int kThreadEndLimitMs = 5000; // how long a thread's end waits for the peer

    // The main thread's closes still running; only that thread touches the set.
    static std::set<LingeringClose*>& MainThreadCloses() {
        static std::set<LingeringClose*> closes;
        return closes;
    }

    // The program may end right after a close (a command-line tool returns
    // from main): the application's end finishes what is still queued, as
    // a worker thread's end does, instead of dropping it.
    void WatchProgramEnd() {
        static bool routineAdded = false;
        if (!QCoreApplication::instance())
            return;
        if (!routineAdded) {
            routineAdded = true;
            qAddPostRoutine([] {
                auto& closes = MainThreadCloses();
                while (!closes.empty()) {
                    LingeringClose* c = *closes.begin();
                    closes.erase(closes.begin());
                    c->onMainThread_ = false;
                    c->FinishNow();
                }
            });
        }
        onMainThread_ = true;
        MainThreadCloses().insert(this);
    }

    // Blocking form, for a thread whose loop will not run again: hands over
    // the rest (waiting a bounded time for the peer to take it), ends the
    // stream, takes what input waits, and closes.
    void FinishNow() {
        QDeadlineTimer deadline(kThreadEndLimitMs);
        while (fd_ >= 0 && !shut_ && !deadline.hasExpired()) {
            Push();
            if (fd_ < 0 || shut_)
                break;
            pollfd p{fd_, short(POLLOUT), 0};
            ::poll(&p, 1, int(std::min<qint64>(deadline.remainingTime(), 100)));
            if (!peerEnded_)
                Drain(); // keep taking input, so the peer is not stalled either
        }
        if (fd_ >= 0 && shut_)
            Drain();
        Finish();
    }

    void Push() {
        if (fd_ < 0)
            return;
        writeNote_->setEnabled(false);
        while (off_ < pending_.size()) {
            ssize_t n = ::send(fd_, pending_.data() + off_, pending_.size() - off_,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                off_ += std::size_t(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                writeNote_->setEnabled(true);
                readNote_->setEnabled(true); // keep taking input meanwhile
                return;
            }
            Finish(); // the connection is gone
            return;
        }
        pending_.clear();
        ::shutdown(fd_, SHUT_WR);
        shut_ = true;
        Drain();
    }

    void Drain() {
        if (fd_ < 0)
            return;
        char buf[16384];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                discarded_ += std::size_t(n);
                if (discarded_ > kCloseDrainLimit && shut_) {
                    Finish();
                    return;
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                readNote_->setEnabled(true);
                return;
            }
            if (!shut_) {
                // The peer ended first; what is left still goes out.
                peerEnded_ = true;
                readNote_->setEnabled(false);
                return;
            }
            Finish(); // end of stream (or an error): both sides are done
            return;
        }
    }

    void Finish() {
        if (fd_ < 0)
            return;
        writeNote_->setEnabled(false);
        readNote_->setEnabled(false);
        ::close(fd_);
        fd_ = -1;
        deleteLater();
    }

    int fd_;
    std::string pending_;
    std::size_t off_ = 0;
    std::size_t discarded_ = 0;
    bool shut_ = false;
    bool peerEnded_ = false;
    bool onMainThread_ = false; // listed for the program's end
    QSocketNotifier* writeNote_ = nullptr;
    QSocketNotifier* readNote_ = nullptr;
};

} // namespace

void CloseGracefully(int fd, std::string pending) {
    if (!QCoreApplication::instance()) {
        // No loop will ever run again: end the stream now, as well as we can.
        if (!pending.empty())
            ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
        return;
    }
    new LingeringClose(fd, std::move(pending)); // frees itself when done
}

} // namespace qordex
