#pragma once
// The launcher: eighteen tool buttons, the list of open tool windows, hiding
// them all at once, and retreat into the notification area.  The tools it
// offers come from its catalogue (app/ToolCatalog).

#include "shell/ToolForm.h"

#include <QHash>
#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

class QCheckBox;
class QSystemTrayIcon;
class QToolButton;

namespace qordex::app {

using shell::TToolForm;

// The ordered list of open tool windows, in the order of opening.  It owns
// no windows; the launcher takes each one out when it is destroyed.
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

class TMainForm : public QWidget, public shell::TToolHost {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    ToolWindowList& ToolWindows() { return toolWindows_; }
    TToolForm* CurrentInstance(const QString& className) const override;
    const std::string& TempDirectory() const override { return tempDir_; }

    // Opens a new window of the tool whose launcher button has this name.
    TToolForm* OpenTool(const QString& buttonName);
    // Records a window just created as its class's current instance,
    // appends it to the list until it is destroyed and becomes its host
    // (what every tool button does before showing).
    void Adopt(TToolForm* form);

    void HideWinCheckClick();
    void TrayIconClick();
    void AboutBtClick();

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Colours from the desktop's palette; dimmed text made legible on our background.
    void FollowDesktopColours();

    ToolWindowList toolWindows_;
    QHash<QString, QPointer<TToolForm>> current_;
    std::string tempDir_;
    QCheckBox* hideWinCheck_ = nullptr;
    QCheckBox* miniToTrayCheck_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;
};

// The launcher's background: RGB(210, 220, 230), as the launcher is known,
// where the palette's text reads on it; on a dark desktop the palette's
// window colour with that hue, so that labels and buttons stay readable.
QColor LauncherBackground(const QPalette& palette);

// WCAG contrast ratio of two colours, 1 (none) to 21.
double ContrastRatio(const QColor& a, const QColor& b);

} // namespace qordex::app
