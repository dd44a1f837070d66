#pragma once
// The TCP server window: accepts TCP clients on a local port, shows what
// they send and sends messages to the one selected in its client list.

#include "shell/ToolForm.h"
#include "tools/TcpServerTool.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QAction;

namespace qordex::shell {
class TMemo;
}

namespace qordex::tools {

class TForm14 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm14(QWidget* parent = nullptr);
    ~TForm14() override;

    // The controls' handlers, as the user triggers them.
    void StartBtClick();
    void SendBtClick();
    void Disconnect1Click();
    void MultilineCheckClick();

    // The start button's tag: 0 stopped, 1 running.
    int StartTag() const;
    TTcpServerTool& Tool() { return tool_; }

protected:
    void Shutdown() override;
    void ClearOutput() override;
    shell::TMemo* SavePane() const override { return Memo1; }
    QString SavePresetName() const override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Running(bool running);
    void ClientAdded(const std::string& entry);
    void ClientRemoved(const std::string& entry);

    shell::TMemo* Memo2;
    shell::TMemo* Memo1;
    QListWidget* ClientListBox;
    QAction* Disconnect1;
    QCheckBox* NumericBox;
    QCheckBox* TextCheck;
    QLineEdit* PortEdit;
    QPushButton* StartBt;
    QLineEdit* WelcomeEdit;
    QLineEdit* MaxCliEdit;
    QComboBox* LineEndBox;
    QCheckBox* EchoBox;
    QPlainTextEdit* SendMemo;
    QCheckBox* MultilineCheck;
    QPushButton* SendBt;

    TTcpServerTool tool_; // owns the server, WSocketServer1
};

} // namespace qordex::tools
