#pragma once
// The Net information window: a workbench of buttons over the machine's IP
// configuration, each running one command of the shared command table and
// writing its lines into one output pane, plus two change watchers.

#include "shell/ToolForm.h"

#include <QString>
#include <memory>

class QPrinter;
class QPushButton;
class QTabWidget;

namespace qordex::diag {

struct NetInfoCommand;
class TWaitingThread;

class TNetInfoForm : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TNetInfoForm(QWidget* parent = nullptr);
    ~TNetInfoForm() override;

    shell::TMemo* Memo1() const { return memo1_; }
    QTabWidget* PageControl1() const { return pageControl1_; }

    // Runs one command of the table as its button does.
    void RunCommand(const NetInfoCommand& command);

    void BtNotifyAddrChangeClick();
    void BtNotifyRouteChangeClick();
    void BtCancelNotifyAddrChangeClick();
    void BtCancelNotifyRouteChangeClick();
    void PrintBtClick();
    void PrnConfigBtClick();

    // True while a watcher of this kind (1 = addresses, 2 = routes) runs.
    bool WatcherRunning(int kind) const;
    // The watcher of this kind, running or ended; null when none was started.
    const TWaitingThread* Watcher(int kind) const;

protected:
    void Shutdown() override;
    shell::TMemo* SavePane() const override { return memo1_; }

private:
    QWidget* MakePage(const QString& caption);
    QPushButton* MakeCommandButton(QWidget* page, const QString& name, const QString& caption);
    void BuildNotificationPage(QWidget* page);
    void StartWatcher(int kind, const char* text);
    void StopWatchers();
    // A watcher's end notice (after Cancel, or when its socket failed).
    void WatcherEnded(int kind);
    // Prints the memo lines on an open printer.
    void PrintLines(QPrinter& printer);

    shell::TMemo* memo1_ = nullptr;
    QTabWidget* pageControl1_ = nullptr;
    QPushButton* btNotifyAddrChange_ = nullptr;
    QPushButton* btNotifyRouteChange_ = nullptr;
    QPushButton* btCancelNotifyAddrChange_ = nullptr;
    QPushButton* btCancelNotifyRouteChange_ = nullptr;
    std::unique_ptr<QPrinter> printer_; // keeps the set-up between prints
    // [0] addresses, [1] routes; an ended watcher stays until replaced or closed.
    std::unique_ptr<TWaitingThread> watchers_[2];
    bool running_[2] = {false, false};
};

} // namespace qordex::diag
