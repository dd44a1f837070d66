#pragma once
// The HTTP server window: serves a folder, lists the connected clients and
// logs every request; the engine and its test pages live in THttpServTool.

#include "shell/ToolForm.h"
#include "web/HttpServTool.h"

#include <functional>

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;
class QAction;

namespace qordex::shell {
class TMemo;
}

namespace qordex::web {

// Lines the log keeps before the oldest go (the newest comes on top).
constexpr int kHttpLogLines = 400;

class TForm19 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm19(QWidget* parent = nullptr);
    ~TForm19() override;

    // The controls' handlers, as the user triggers them.
    void StartBtClick();
    void LaunchBtClick();
    void HelpBtClick();
    void DocEditExit();
    void Disconnect1Click();

    // The start button's tag: 1 while listening.
    int StartTag() const;
    THttpServTool& Tool() { return tool_; }
    // Opens a URL in the system browser; tests replace it.
    std::function<void(const QString& url)> OpenUrl;
    // The URL LaunchBt opens.
    QString HomeUrl();

protected:
    void FirstShow() override;
    void Shutdown() override;
    void ClearOutput() override;
    shell::TMemo* SavePane() const override { return DisplayMemo; }

private:
    void Display(const QString& line);
    void SetEditsEnabled(bool on);

    QLineEdit* AddrEdit;
    QLineEdit* PortEdit;
    QLineEdit* MaxEdit;
    QLineEdit* DocEdit;
    QLineEdit* DirEdit;
    QPushButton* StartBt;
    QToolButton* LaunchBt;
    QToolButton* HelpBt;
    shell::TMemo* DisplayMemo;
    QListWidget* Clients;
    QAction* Disconnect1;
    QCheckBox* DisplayHeaderCheckBox;

    THttpServTool tool_; // HttpServer1
};

} // namespace qordex::web
