#pragma once
// The launcher: eighteen tool buttons, the list of open tool windows, hiding
// them all at once, and retreat into the notification area.

#include <QHash>
#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

class QCheckBox;
class QSystemTrayIcon;
class QToolButton;

namespace qordex::shell {

class TToolForm;

// The ordered list of open tool windows, in the order of opening.  It owns
// no windows; each window removes itself when it closes.
class ToolWindowList {
public:
    void Append(QWidget* w);
    void Remove(QWidget* w);
    bool Contains(QWidget* w) const;
    std::vector<QWidget*> Windows() const;
    int Count() const { return int(Windows().size()); }

private:
    std::vector<QPointer<QWidget>> windows_;
};

class TMainForm : public QWidget {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    ToolWindowList& ToolWindows() { return toolWindows_; }
    // The window of this class that was opened most recently (may have closed).
    TToolForm* CurrentInstance(const QString& className) const;
    // The system's temporary folder with a trailing separator, recorded at start-up.
    const std::string& TempDirectory() const { return tempDir_; }

    // Opens a new window of the tool whose launcher button has this name.
    TToolForm* OpenTool(const QString& buttonName);
    // Records a window just created as its class's current instance and
    // appends it to the list (what every tool button does before showing).
    void Adopt(TToolForm* form);

    void HideWinCheckClick();
    void TrayIconClick();
    void AboutBtClick();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    ToolWindowList toolWindows_;
    QHash<QString, QPointer<TToolForm>> current_;
    std::string tempDir_;
    QCheckBox* hideWinCheck_ = nullptr;
    QCheckBox* miniToTrayCheck_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;
};

// The launcher of this run, or null when there is none (a tool opened alone).
TMainForm* MainForm();

} // namespace qordex::shell
