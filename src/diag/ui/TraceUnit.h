#pragma once
// The Traceroute window: a host and four settings; the hop table fills as
// the trace (a TTraceRun, shared with `qordex-cli trace`) goes on.

#include "shell/ToolForm.h"

#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace qordex::diag {

class TTraceRun;
struct TraceProbes;

class TForm16 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm16(QWidget* parent = nullptr);
    // Tests hand in their own probes.
    TForm16(const TraceProbes& probes, QWidget* parent = nullptr);
    ~TForm16() override;

    // The buttons, as the user triggers them.
    void StartBtClick();
    void CancelBtClick();

    TTraceRun& Run() { return *run_; }
    // The lines Save to file writes.
    QStringList ReportLines() const;

protected:
    void Shutdown() override;
    QString SavePresetName() const override;
    std::optional<QStringList> SaveContent() const override;

private:
    void Build();
    void FillTable();
    void ShowRow(int index);
    void SetIdle(bool idle);

    QLineEdit* HostEdit;
    QLabel* LookupLabel;
    QLineEdit* HopsEdit;
    QLineEdit* TriesEdit;
    QLineEdit* TimeoutEdit;
    QLineEdit* PacketEdit;
    QPushButton* StartBt;
    QPushButton* CancelBt;
    QTreeWidget* TraceList;

    std::unique_ptr<TTraceRun> run_;
};

} // namespace qordex::diag
