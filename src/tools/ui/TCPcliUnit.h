#pragma once
// The TCP/UDP client window: talks by hand to any TCP or UDP service,
// directly or through a SOCKS 5 proxy, and shows what comes back as text
// and, on request, as hexadecimal frame lines.

#include "shell/ToolForm.h"
#include "tools/TcpClientTool.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace qordex::shell {
class TMemo;
class TProxyPanel;
} // namespace qordex::shell

namespace qordex::tools {

class TForm13 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm13(QWidget* parent = nullptr);
    ~TForm13() override;

    // The controls' handlers, as the user triggers them.
    void ConnectBtClick();
    void AbortBtClick();
    void SendBtClick();
    void MultilineCheckClick();
    void ProxyBtClick();

    // ConnectBt's tag: 1 while connected.
    int ConnectTag() const;
    TTcpClientTool& Tool() { return tool_; }

protected:
    void Shutdown() override;
    void ClearOutput() override;
    shell::TMemo* SavePane() const override;
    QString SavePresetName() const override;
    QString SaveFilter() const override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Connected();
    void ResetWindow();
    void Received(const std::string* frame, const std::vector<std::string>& entries);
    void SetFieldsEnabled(bool on);

    shell::TMemo* Memo2;
    shell::TMemo* Memo1;
    QCheckBox* NumericBox;
    QCheckBox* TextCheck;
    QLineEdit* ServerEdit;
    QLineEdit* PortEdit;
    QRadioButton* ProtTCP;
    QRadioButton* ProtUDP;
    QPushButton* ConnectBt;
    QToolButton* AbortBt;
    QComboBox* LineEndBox;
    QPlainTextEdit* SendMemo;
    QCheckBox* MultilineCheck;
    QPushButton* SendBt;
    QToolButton* ClearBt;
    QToolButton* SaveBt;
    QToolButton* ProxyBt;
    shell::TProxyPanel* ProxyPanel;

    TTcpClientTool tool_; // owns the socket, CliSocket
};

} // namespace qordex::tools
