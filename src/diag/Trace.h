#pragma once
// The round and row logic of a traceroute, shared by the Traceroute window
// and `qordex-cli trace`.  One table row per possible hop is made up front;
// every hop is probed at once, one worker thread per hop, in rounds that
// re-probe only the rows still unanswered; then the table is cut after the
// first row that reached the target and each row's name is looked up, again
// one worker per row.  Workers keep their outcome in their own fields and
// report through a queued call on the owner's thread; once let go (Cancel,
// destruction) they never reach the owner again.

#include <QObject>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qordex::diag {

// Highest TTL an IPv4 datagram can carry.
constexpr int kTraceMaxHops = 255;

struct TraceSettings {
    int hops = 40;      // rows, the highest TTL probed (0..255)
    int tries = 4;      // rounds; a negative value counts as 0
    int timeout = 1000; // ms per probe; a negative value counts as 0
    int size = 56;      // payload bytes per probe (0..65500)
};

// Reads the window's four fields (or the command's options) into settings.
// On failure, the message to show: "'x' is not a valid integer value", or
// the range a value left.
std::variant<TraceSettings, std::string> ReadTraceSettings(const std::string& hops,
                                                           const std::string& tries,
                                                           const std::string& timeout,
                                                           const std::string& size);

// Result states of a row.
inline const std::string kTraceNext = "next";
inline const std::string kTraceComplete = "complete";
inline const std::string kTraceTimeOut = "time out";
inline const std::string kTraceUnknown = "Unknown";
inline const std::string kTraceLookingUp = "looking up . . .";
inline const std::string kTraceUnknownAddress = "ERROR unknown address.";

struct TraceRow {
    int hop = 0;
    std::string address;  // reply address, "Unknown" or empty
    std::string time;     // round-trip time in ms, or empty
    std::string hostName; // name, "looking up . . .", "Unknown" or empty
    std::string result;   // "..N", "next", "complete" or "time out"
    // Waiting for an answer in some round.
    bool Pending() const { return !result.empty() && result[0] == '.'; }
};

// The lines Save to file writes (and the command prints), without line ends.
std::vector<std::string> TraceReportLines(const std::string& host, const std::string& lookupLabel,
                                          const std::vector<TraceRow>& rows);

// What a probe learnt: an answer (echo reply or a router's report) from `address`.
struct TraceProbeResult {
    bool success = false;
    std::string address;         // dotted IPv4 of the node that answered
    std::uint32_t roundTrip = 0; // ms
};

// The blocking operations the workers run, each on its own thread; tests
// replace them.  All three must be safe to call from several threads at once.
struct TraceProbes {
    // The dotted IPv4 address of a host name or address; nullopt when unknown.
    std::function<std::optional<std::string>(const std::string& host)> resolve;
    // One echo request to `target` with the given TTL, timeout and size.
    std::function<TraceProbeResult(const std::string& target, int ttl, int timeout, int size)>
        probe;
    // The host name of a dotted address; nullopt when it has none.
    std::function<std::optional<std::string>(const std::string& address)> reverse;
};

// The real ones: the system resolver and a TPing of the worker's own.
TraceProbes DefaultTraceProbes();

// What a worker found.
struct TraceOutcome {
    bool success = false;
    std::string text;            // address or host name
    std::uint32_t roundTrip = 0; // ms, probes only
};

// One worker: runs its job on its own thread and keeps the outcome.
class TTraceThread : public QThread {
    Q_OBJECT
public:
    enum class Kind { TargetLookup, Probe, NameLookup };
    TTraceThread(Kind kind, int hop, std::function<void(TraceOutcome&)> job);
    ~TTraceThread() override;

    Kind WorkKind() const { return kind_; }
    int Hop() const { return hop_; }

    // Written by the job, read by the owner after `finished`.
    TraceOutcome outcome;

    // Worker objects alive in the process (tests see detached ones freed).
    static int LiveCount();

protected:
    void run() override;

private:
    Kind kind_;
    int hop_;
    std::function<void(TraceOutcome&)> job_;
};

class TTraceRun : public QObject {
    Q_OBJECT
public:
    explicit TTraceRun(TraceProbes probes = DefaultTraceProbes(), QObject* parent = nullptr);
    // Lets every worker go first.
    ~TTraceRun() override;

    // Starts a trace of `host`; false (and nothing happens) while one runs.
    bool Start(const std::string& host, const TraceSettings& settings);
    // Stops the trace: workers are let go, the table keeps what it shows.
    // Also the end of every trace.  Nothing when idle.
    void Cancel();

    bool Running() const { return running_; }
    const std::vector<TraceRow>& Rows() const { return rows_; }
    const std::string& LookupLabel() const { return lookupLabel_; }
    const std::string& Target() const { return target_; }
    int Round() const { return round_; }
    // Workers listed (started and not finished or let go).
    int WorkerCount() const { return int(workers_.size()); }
    // True when a row reached the target.
    bool Complete() const;

    // Events, on the owner's thread.  A handler may not destroy the run.
    std::function<void()> OnTable;                       // rows added, removed or all changed
    std::function<void(int index)> OnRow;                // one row changed
    std::function<void(const std::string& label)> OnLabel; // target address or lookup state
    std::function<void()> OnDone;                        // the trace ended (also on Cancel)

private:
    void StartWorker(TTraceThread::Kind kind, int hop, std::function<void(TraceOutcome&)> job);
    void WorkerDone(TTraceThread* worker);
    void TargetFound(bool success, const std::string& address);
    void StartRound();
    void ProbeDone(int hop, const TraceOutcome& outcome);
    void StartNameLookups();
    void NameDone(int hop, const TraceOutcome& outcome);
    int RowOfHop(int hop) const;
    void SetLabel(const std::string& label);
    void Table();
    void Row(int index);
    void DetachWorkers();

    TraceProbes probes_;
    TraceSettings settings_;
    std::vector<TraceRow> rows_;
    std::string lookupLabel_;
    std::string target_;
    int round_ = 0;
    int probesStarted_ = 0, probesFinished_ = 0;
    int namesStarted_ = 0, namesFinished_ = 0;
    bool running_ = false;
    std::vector<TTraceThread*> workers_; // not owned once let go
};

} // namespace qordex::diag
