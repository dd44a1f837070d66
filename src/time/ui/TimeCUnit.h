#pragma once
// The time client window: asks a time server for the time or the daytime
// text, over TCP or UDP, directly or through a SOCKS 5 proxy, shows the
// answer and can set the machine's clock from it.

#include "shell/ToolForm.h"
#include "time/TimeClientTool.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace qordex::shell {
class TMemo;
class TProxyPanel;
} // namespace qordex::shell

namespace qordex::timetools {

class TForm9 : public shell::TToolForm {
    Q_OBJECT
public:
    // `clock` is what "Synchonize local clock" sets; tests hand a fake.
    explicit TForm9(QWidget* parent = nullptr, TClock& clock = SystemClock());
    ~TForm9() override;

    // The controls' handlers, as the user triggers them.
    void GetTimeBtClick();
    void GetDayTimeBtClick();
    void CancelBtClick();
    void SyncCheckClick();
    void ProxyBtClick();

    TTimeClientTool& Tool() { return tool_; }

protected:
    void Shutdown() override;
    void ClearOutput() override;

private:
    void Request(bool daytime);
    void ResetButtons();

    QComboBox* Addr;
    QRadioButton* TCPradio;
    QRadioButton* UDPradio;
    QPushButton* GetTimeBt;
    QPushButton* GetDayTimeBt;
    QPushButton* CancelBt;
    QCheckBox* SyncCheck;
    QLineEdit* TimeEdit;
    shell::TMemo* Memo1;
    QToolButton* ProxyBt;
    shell::TProxyPanel* ProxyPanel;

    TTimeClientTool tool_; // owns WSTimeClient1
};

} // namespace qordex::timetools
