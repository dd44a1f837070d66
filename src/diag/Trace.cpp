#include "diag/Trace.h"

#include "base/Text.h"
#include "diag/Icmp.h"
#include "diag/Ping.h"
#include "diag/PingThread.h"
#include "platform/AsyncLookup.h"

#include <QCoreApplication>
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>

namespace qordex::diag {
namespace {

std::atomic<int> g_live{0};

// A field read as a whole number within [lo, hi].  Below lo it is either
// clamped (Tries and Timeout: a negative value means none) or refused.
std::optional<std::string> ReadField(const char* name, const std::string& text, long long lo,
                                     long long hi, bool clampLow, int& out) {
    const std::string trimmed = Trim(text);
    const auto any = ParseDecimal(trimmed, -0x80000000LL, 0x7fffffffLL);
    if (!any)
        return NotAnIntegerMessage(text);
    if (*any < lo && clampLow) {
        out = int(lo);
        return std::nullopt;
    }
    if (*any < lo || *any > hi)
        return std::string(name) + " must be from " + std::to_string(lo) + " to " +
               std::to_string(hi) + " ('" + text + "')";
    out = int(*any);
    return std::nullopt;
}

std::string Dotted(std::uint32_t addr) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

} // namespace

std::variant<TraceSettings, std::string> ReadTraceSettings(const std::string& hops,
                                                           const std::string& tries,
                                                           const std::string& timeout,
                                                           const std::string& size) {
    TraceSettings s;
    // Above 255 the TTL wraps and every extra row would start a thread of its own.
    if (auto e = ReadField("Hops", hops, 0, kTraceMaxHops, false, s.hops))
        return *e;
    if (auto e = ReadField("Tries per hop", tries, 0, 0x7fffffff, true, s.tries))
        return *e;
    if (auto e = ReadField("Time out", timeout, 0, 0x7fffffff, true, s.timeout))
        return *e;
    if (auto e = ReadField("Packet size", size, 0, kIcmpMaxPayload, false, s.size))
        return *e;
    return s;
}

std::vector<std::string> TraceReportLines(const std::string& host, const std::string& lookupLabel,
                                          const std::vector<TraceRow>& rows) {
    std::vector<std::string> lines;
    lines.push_back("Traceroute to " + host + " at " + lookupLabel);
    lines.emplace_back();
    lines.emplace_back(" Hop       IP address   Time  Host name");
    lines.emplace_back();
    for (const TraceRow& r : rows) {
        const std::string hop = std::to_string(r.hop);
        // The same as "%4s  %15s  %5s  %s": wider cells are not cut.
        auto pad = [](const std::string& s, std::size_t w) {
            return s.size() >= w ? s : std::string(w - s.size(), ' ') + s;
        };
        lines.push_back(pad(hop, 4) + "  " + pad(r.address, 15) + "  " + pad(r.time, 5) + "  " +
                        r.hostName);
    }
    return lines;
}

TraceProbes DefaultTraceProbes() {
    TraceProbes p;
    p.resolve = [](const std::string& host) -> std::optional<std::string> {
        const LookupResult r = ResolveHostBlocking(host);
        if (r.error != 0 || r.addrs.empty())
            return std::nullopt;
        return Dotted(r.addrs.front());
    };
    p.probe = [](const std::string& target, int ttl, int timeout, int size) {
        TraceProbeResult out;
        try {
            TPing ping;
            ping.SetTTL(ttl);
            ping.SetSize(size);
            ping.SetTimeout(timeout);
            ping.SetAddress(target);
            // Any answer counts: a router's report says where the probe died.
            if (ping.Ping() != 0) {
                const IcmpEchoReply reply = ping.Reply();
                out.success = true;
                out.address = DottedIp(reply.Address);
                out.roundTrip = reply.RoundTripTime;
            }
        } catch (const std::exception&) {
            // No ICMP socket for this user: an unanswered probe.
        }
        return out;
    };
    p.reverse = [](const std::string& address) -> std::optional<std::string> {
        in_addr a{};
        if (inet_pton(AF_INET, address.c_str(), &a) != 1)
            return std::nullopt;
        const LookupResult r = ResolveAddrBlocking(a.s_addr);
        if (r.error != 0 || r.name.empty())
            return std::nullopt;
        return r.name;
    };
    return p;
}

TTraceThread::TTraceThread(Kind kind, int hop, std::function<void(TraceOutcome&)> job)
    : kind_(kind), hop_(hop), job_(std::move(job)) {
    ++g_live;
}

TTraceThread::~TTraceThread() {
    wait();
    --g_live;
}

int TTraceThread::LiveCount() {
    return g_live;
}

void TTraceThread::run() {
    job_(outcome);
}

TTraceRun::TTraceRun(TraceProbes probes, QObject* parent)
    : QObject(parent), probes_(std::move(probes)) {}

TTraceRun::~TTraceRun() {
    DetachWorkers();
}

bool TTraceRun::Complete() const {
    return std::any_of(rows_.begin(), rows_.end(),
                       [](const TraceRow& r) { return r.result == kTraceComplete; });
}

bool TTraceRun::Start(const std::string& host, const TraceSettings& settings) {
    if (running_ || host.empty())
        return false;
    running_ = true;
    settings_ = settings;
    settings_.tries = std::max(0, settings_.tries);
    settings_.timeout = std::max(0, settings_.timeout);
    target_.clear();
    rows_.clear();
    for (int hop = 1; hop <= settings_.hops; ++hop)
        rows_.push_back({hop, "", "", "", "..1"});
    Table();
    round_ = 0;
    SetLabel(kTraceLookingUp);
    auto resolve = probes_.resolve;
    StartWorker(TTraceThread::Kind::TargetLookup, 0, [resolve, host](TraceOutcome& w) {
        if (auto addr = resolve(host)) {
            w.success = true;
            w.text = *addr;
        }
    });
    return true;
}

void TTraceRun::StartWorker(TTraceThread::Kind kind, int hop,
                            std::function<void(TraceOutcome&)> job) {
    auto* w = new TTraceThread(kind, hop, std::move(job));
    connect(
        w, &QThread::finished, this, [this, w] { WorkerDone(w); }, Qt::QueuedConnection);
    workers_.push_back(w);
    w->start(QThread::LowestPriority);
}

void TTraceRun::WorkerDone(TTraceThread* worker) {
    // A worker let go is no longer listed; its completion is not ours.
    auto it = std::find(workers_.begin(), workers_.end(), worker);
    if (it == workers_.end())
        return;
    workers_.erase(it);
    // It has ended: `finished` was its last act.  The outcome is copied first.
    const TTraceThread::Kind kind = worker->WorkKind();
    const int hop = worker->Hop();
    const TraceOutcome outcome = worker->outcome;
    delete worker;
    if (QCoreApplication::closingDown() || !running_)
        return;
    switch (kind) {
    case TTraceThread::Kind::TargetLookup:
        TargetFound(outcome.success, outcome.text);
        break;
    case TTraceThread::Kind::Probe:
        ProbeDone(hop, outcome);
        break;
    case TTraceThread::Kind::NameLookup:
        NameDone(hop, outcome);
        break;
    }
}

void TTraceRun::TargetFound(bool success, const std::string& address) {
    if (!success) {
        SetLabel(kTraceUnknownAddress);
        rows_.clear();
        Table();
        Cancel();
        return;
    }
    target_ = address;
    SetLabel(address);
    StartRound();
}

void TTraceRun::StartRound() {
    probesStarted_ = 0;
    probesFinished_ = 0;
    ++round_;
    if (settings_.tries >= round_) {
        const std::string state = ".." + std::to_string(round_);
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            if (!rows_[i].Pending())
                continue;
            rows_[i].result = state;
            Row(int(i));
            ++probesStarted_;
            auto probe = probes_.probe;
            const std::string target = target_;
            const TraceSettings s = settings_;
            const int hop = rows_[i].hop;
            StartWorker(TTraceThread::Kind::Probe, hop, [=](TraceOutcome& w) {
                const TraceProbeResult r = probe(target, hop, s.timeout, s.size);
                w.success = r.success;
                w.text = r.address;
                w.roundTrip = r.roundTrip;
            });
        }
    }
    if (probesStarted_ > 0)
        return;
    // The rounds are over: nothing beyond the first row that reached the target.
    auto first = std::find_if(rows_.begin(), rows_.end(),
                              [this](const TraceRow& r) { return r.address == target_; });
    if (first != rows_.end() && first + 1 != rows_.end()) {
        rows_.erase(first + 1, rows_.end());
        Table();
    }
    StartNameLookups();
}

void TTraceRun::ProbeDone(int hop, const TraceOutcome& worker) {
    const int index = RowOfHop(hop);
    if (index >= 0) {
        TraceRow& row = rows_[std::size_t(index)];
        if (worker.success) {
            row.address = worker.text;
            row.time = std::to_string(worker.roundTrip);
            row.result = worker.text == target_ ? kTraceComplete : kTraceNext;
            Row(index);
        } else if (settings_.tries == round_) {
            row.address = kTraceUnknown;
            row.time.clear();
            row.hostName.clear();
            row.result = kTraceTimeOut;
            Row(index);
        }
    }
    if (++probesFinished_ == probesStarted_)
        StartRound();
}

void TTraceRun::StartNameLookups() {
    namesStarted_ = 0;
    namesFinished_ = 0;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        TraceRow& row = rows_[i];
        if (row.address == kTraceUnknown) {
            row.hostName = kTraceUnknown;
            Row(int(i));
            continue;
        }
        // A row never probed (Tries 0) has no address to look up.
        if (row.address.empty())
            continue;
        row.hostName = kTraceLookingUp;
        Row(int(i));
        ++namesStarted_;
        auto reverse = probes_.reverse;
        const std::string address = row.address;
        StartWorker(TTraceThread::Kind::NameLookup, row.hop, [reverse, address](TraceOutcome& w) {
            if (auto name = reverse(address)) {
                w.success = true;
                w.text = *name;
            }
        });
    }
    if (namesStarted_ == 0)
        Cancel();
}

void TTraceRun::NameDone(int hop, const TraceOutcome& worker) {
    const int index = RowOfHop(hop);
    if (index >= 0) {
        TraceRow& row = rows_[std::size_t(index)];
        row.hostName = worker.success ? worker.text : row.address;
        Row(index);
    }
    if (++namesFinished_ == namesStarted_)
        Cancel();
}

int TTraceRun::RowOfHop(int hop) const {
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].hop == hop)
            return int(i);
    return -1;
}

void TTraceRun::Cancel() {
    if (!running_)
        return;
    DetachWorkers();
    running_ = false;
    if (auto h = OnDone)
        h();
}

void TTraceRun::DetachWorkers() {
    for (TTraceThread* w : workers_) {
        if (w->isRunning())
            w->setPriority(QThread::NormalPriority);
        disconnect(w, nullptr, this, nullptr);
        DetachThread(w);
    }
    workers_.clear();
}

void TTraceRun::SetLabel(const std::string& label) {
    lookupLabel_ = label;
    if (auto h = OnLabel)
        h(label);
}

void TTraceRun::Table() {
    if (auto h = OnTable)
        h();
}

void TTraceRun::Row(int index) {
    if (auto h = OnRow)
        h(index);
}

} // namespace qordex::diag
