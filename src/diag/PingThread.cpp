#include "diag/PingThread.h"

#include "diag/Ping.h"
#include "diag/PingStats.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSemaphore>

namespace qordex::diag {
namespace {

std::atomic<int> g_live{0};

// Releases the waiting worker when the queued delivery has run or was
// dropped with its target, whichever happens.
struct Releaser {
    explicit Releaser(std::shared_ptr<QSemaphore> s) : sem(std::move(s)) {}
    ~Releaser() { sem->release(); }
    Releaser(const Releaser&) = delete;
    Releaser& operator=(const Releaser&) = delete;
    std::shared_ptr<QSemaphore> sem;
};

} // namespace

PingLineRelay::PingLineRelay(QObject* target, std::function<void(const std::string&)> deliver)
    : target_(target), deliver_(std::move(deliver)) {}

void PingLineRelay::Detach() {
    std::lock_guard lock(mutex_);
    target_ = nullptr;
    detached_ = true;
}

void PingLineRelay::Run(const std::string& line) {
    if (!detached_ && deliver_)
        deliver_(line);
}

void PingLineRelay::Deliver(const std::string& line, const std::atomic<bool>& stop) {
    auto sem = std::make_shared<QSemaphore>(0);
    {
        std::lock_guard lock(mutex_);
        if (!target_)
            return;
        auto release = std::make_shared<Releaser>(sem);
        QMetaObject::invokeMethod(
            target_,
            [self = shared_from_this(), line, release = std::move(release)] { self->Run(line); },
            Qt::QueuedConnection);
    }
    while (!sem->tryAcquire(1, 20))
        if (stop || detached_)
            return;
}

void DetachPingThread(TPingThread* worker) {
    worker->RequestStop();
    DetachThread(worker);
}

void DetachThread(QThread* worker) {
    // Runs on this thread after the worker ended; the flag keeps the two ways
    // of freeing it (now, or when `finished` arrives) from both happening.
    auto freed = std::make_shared<bool>(false);
    QObject::connect(
        worker, &QThread::finished, QCoreApplication::instance(),
        [worker, freed] {
            if (!*freed) {
                *freed = true;
                delete worker;
            }
        },
        Qt::QueuedConnection);
    if (worker->isFinished()) {
        *freed = true;
        delete worker;
    }
}

TPingThread::TPingThread(std::string host, int ttl, int timeout, int size,
                         std::shared_ptr<PingLineRelay> sending, QObject* parent)
    : QThread(parent), host_(std::move(host)), ttl_(ttl), timeout_(timeout), size_(size),
      sending_(std::move(sending)) {
    ++g_live;
}

TPingThread::~TPingThread() {
    RequestStop();
    wait();
    --g_live;
}

int TPingThread::LiveCount() {
    return g_live;
}

void TPingThread::run() {
    std::unique_ptr<TPing> ping;
    try {
        ping = std::make_unique<TPing>();
    } catch (const std::exception& e) {
        // No echo service for this user: the request ends with the reason.
        resultLine_ = e.what();
        success_ = false;
        return;
    }
    ping->SetTTL(ttl_);
    ping->SetTimeout(timeout_);
    ping->SetSize(size_);
    ping->OnDnsLookupDone = [this](TPing* p, std::uint16_t error) {
        if (error != 0) {
            resultLine_ = PingUnknownHostLine(host_);
            success_ = false;
            done_ = true;
            return;
        }
        p->SetAddress(p->DnsResult());
        p->OnEchoRequest = [this](TPing* sender, TICMP*) {
            if (sending_)
                sending_->Deliver(PingSendingLine(sender->Size(), sender->HostIP()), stop_);
        };
        p->OnEchoReply = [this](TPing* sender, TICMP*, int status) {
            const IcmpEchoReply reply = sender->Reply();
            // A router's report (TTL expired, unreachable) answers the request
            // but is no reply from the host: it is shown and counted as a failure.
            if (status != 0 && reply.Status == ipSuccess) {
                resultLine_ =
                    PingReceivedLine(reply.DataSize, DottedIp(reply.Address), reply.RoundTripTime);
                roundTrip_ = reply.RoundTripTime;
                success_ = true;
            } else {
                resultLine_ = PingFailedLine(sender->HostIP(), sender->ErrorString());
                success_ = false;
            }
            done_ = true;
        };
        p->Ping();
    };
    try {
        ping->DnsLookup(host_);
    } catch (const std::exception& e) {
        resultLine_ = e.what();
        done_ = true;
    }
    PumpUntil([this] { return done_ || stop_; });
    // A lookup still pending is cancelled quietly: nobody waits for its outcome.
    ping->OnDnsLookupDone = nullptr;
    ping.reset();
}

} // namespace qordex::diag
