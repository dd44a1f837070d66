#pragma once
// The Ping tool window: a host, the request settings, once or repeated, one
// or several requests at a time, each on its own worker thread.

#include "diag/PingStats.h"
#include "shell/ToolForm.h"

#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTimer;

namespace qordex::shell {
class TMemo;
}

namespace qordex::diag {

class PingLineRelay;
class TPingThread;

class TForm2 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    // The buttons, the repeat timer and leaving Edit4, as the user triggers them.
    void PingBtClick();
    void CancelBtClick();
    void Timer1Timer();
    void Edit4Exit();

    // Window state, for tests.
    int RunningCount() const { return running_; }
    int WorkerCount() const { return int(workers_.size()); }
    // Listed workers whose thread has ended, their completion not handled yet.
    int FinishedWorkerCount() const;
    const PingStats& Stats() const { return stats_; }

protected:
    void FirstShow() override;
    void Shutdown() override;
    shell::TMemo* SavePane() const override { return Memo1; }
    QString SavePresetName() const override;

private:
    void StartBatch();
    void WorkerDone(TPingThread* worker);
    void PrintSummary();
    void LockControls(bool locked);
    void DetachWorkers();
    // A field read as a decimal integer; the conversion error is shown when it is not one.
    std::optional<int> IntegerOrError(const QString& text);

    QLineEdit* HostEdit;
    QLineEdit* Edit1; // Time To Live
    QLineEdit* Edit2; // Time Out
    QLineEdit* Edit3; // Packet Size
    QLineEdit* Edit4; // interval
    QCheckBox* RepeatCheck;
    QComboBox* BulkBox;
    QPushButton* PingBt;
    QPushButton* CancelBt;
    shell::TMemo* Memo1;
    QTimer* Timer1;

    std::vector<TPingThread*> workers_; // started and not finished; not owned
    int running_ = 0;                   // counted as started and not finished
    bool summaryPending_ = false;       // print the summary when running_ reaches 0
    int rearm_ = 0;                     // 1 while a batch may still arm the repeat timer
    int timerStarted_ = 0;              // 1 once the timer started a batch: no "Sending" lines
    PingStats stats_;
    std::shared_ptr<PingLineRelay> relay_; // hands "Sending" lines to this thread
    bool detached_ = false;                // workers let go: the window is closing
};

} // namespace qordex::diag
