#pragma once
// TPingThread: one echo request on its own worker thread, with its own TPing
// and its own message loop.  Its outcome (ResultLine, RoundTrip, Success) is
// read by the owner after `finished`, on the owner's thread.  The one line a
// worker produces while running, "Sending ...", goes through a PingLineRelay
// to the owner's thread.

#include <QObject>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace qordex::diag {

// Hands lines from worker threads to the thread of a target object and lets
// each worker wait until its line has been delivered.  Once detached (the
// target is closing) nothing more is delivered and no worker waits: a worker
// never touches a target that is gone, and never hangs on one.
class PingLineRelay : public std::enable_shared_from_this<PingLineRelay> {
public:
    // `deliver` runs on the thread of `target`, while the relay is attached.
    PingLineRelay(QObject* target, std::function<void(const std::string&)> deliver);

    // From the target's thread, before the target goes away.
    void Detach();

    // From a worker thread: queues the line for the target's thread and waits
    // until it has been delivered, the relay was detached, or `stop` is set.
    void Deliver(const std::string& line, const std::atomic<bool>& stop);

private:
    void Run(const std::string& line);

    std::mutex mutex_; // guards target_ against Detach while a line is queued
    QObject* target_;  // null once detached
    std::atomic<bool> detached_{false};
    std::function<void(const std::string&)> deliver_;
};

class TPingThread : public QThread {
    Q_OBJECT
public:
    // `sending` receives the "Sending ..." line; null prints none.
    TPingThread(std::string host, int ttl, int timeout, int size,
                std::shared_ptr<PingLineRelay> sending, QObject* parent = nullptr);
    // Waits for the thread to end (it has, when `finished` was delivered).
    ~TPingThread() override;

    const std::string& Host() const { return host_; }
    // The outcome, valid once the thread has finished.
    const std::string& ResultLine() const { return resultLine_; }
    std::uint32_t RoundTrip() const { return roundTrip_; }
    bool Success() const { return success_; }

    // Asks the worker to stop waiting; thread-safe.  A request in flight still
    // runs to its timeout.
    void RequestStop() { stop_ = true; }

    // Worker objects alive in the process (tests use it to see that detached
    // workers are freed).
    static int LiveCount();

protected:
    void run() override;

private:
    std::string host_;
    int ttl_, timeout_, size_;
    std::shared_ptr<PingLineRelay> sending_;
    std::string resultLine_;
    std::uint32_t roundTrip_ = 0;
    bool success_ = false;
    bool done_ = false;
    std::atomic<bool> stop_{false};
};

// Lets a worker go on its own: asks it to stop, and frees it once it has
// ended (at once when it already has).  Its owner must have disconnected
// from it first.  Call on the thread the worker object belongs to.
void DetachPingThread(TPingThread* worker);

// The same for any worker thread that was asked to stop by its own means:
// it is freed once it has ended (at once when it already has).
void DetachThread(QThread* worker);

} // namespace qordex::diag
