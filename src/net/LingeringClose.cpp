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
#include <vector>

namespace qordex {

namespace {

constexpr std::size_t kCloseDrainLimit = 64u << 20; // input discarded while closing
constexpr int kLingerLimitMs = 30000;               // longest life of one close
constexpr int kEndLimitMs = 5000; // how long a thread's end waits, for all its closes together

class LingeringClose;

// The closes still running on the calling thread; only that thread touches it.
std::set<LingeringClose*>& ThreadCloses() {
    thread_local std::set<LingeringClose*> closes;
    return closes;
}

void FinishThreadCloses();

// A worker thread's loop stops with the thread, and the main thread's with
// the program (a command-line tool returns from main right after a close):
// what is left is finished then, or the descriptors would stay open and the
// queued bytes would never leave.
void WatchThreadEnd() {
    QCoreApplication* app = QCoreApplication::instance();
    QThread* thread = QThread::currentThread();
    if (thread == app->thread()) {
        static QCoreApplication* watched = nullptr;
        if (watched != app) {
            watched = app;
            qAddPostRoutine(FinishThreadCloses);
        }
        return;
    }
    thread_local bool watched = false;
    if (!watched) {
        watched = true;
        QObject::connect(
            thread, &QThread::finished, thread, [] { FinishThreadCloses(); }, Qt::DirectConnection);
    }
}

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
        ThreadCloses().insert(this);
        WatchThreadEnd();
        Push();
    }
    ~LingeringClose() override {
        ThreadCloses().erase(this);
        delete writeNote_; // before the descriptor goes
        delete readNote_;
        if (fd_ >= 0)
            ::close(fd_);
    }

    // Blocking form, for a thread whose loop will not run again: hands over
    // the rest of every close (polling them together, until one shared
    // deadline), ends the streams, takes what input waits, and closes.
    static void FinishTogether(const std::vector<LingeringClose*>& closes) {
        for (LingeringClose* c : closes)
            c->together_ = true;
        QDeadlineTimer deadline(kEndLimitMs);
        std::vector<pollfd> fds;
        for (;;) {
            fds.clear();
            for (LingeringClose* c : closes) {
                if (c->fd_ < 0 || c->shut_)
                    continue;
                c->Push();
                if (c->fd_ < 0 || c->shut_)
                    continue;
                if (!c->peerEnded_)
                    c->Drain(); // keep taking input, so the peer is not stalled either
                if (c->fd_ >= 0)
                    fds.push_back(pollfd{c->fd_, short(POLLOUT | (c->peerEnded_ ? 0 : POLLIN)), 0});
            }
            if (fds.empty() || deadline.hasExpired())
                break;
            ::poll(fds.data(), nfds_t(fds.size()),
                   int(std::min<qint64>(deadline.remainingTime(), 100)));
        }
        for (LingeringClose* c : closes) {
            if (c->fd_ >= 0 && c->shut_)
                c->Drain();
            c->Finish();
            delete c;
        }
    }

private:
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
        if (!together_)
            deleteLater();
    }

    int fd_;
    std::string pending_;
    std::size_t off_ = 0;
    std::size_t discarded_ = 0;
    bool shut_ = false;      // everything went out and the stream is ended
    bool peerEnded_ = false; // the peer ended its side first
    bool together_ = false;  // finished with the others of its thread, which frees it
    QSocketNotifier* writeNote_ = nullptr;
    QSocketNotifier* readNote_ = nullptr;
};

void FinishThreadCloses() {
    auto& set = ThreadCloses();
    std::vector<LingeringClose*> closes(set.begin(), set.end());
    set.clear();
    LingeringClose::FinishTogether(closes);
}

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
