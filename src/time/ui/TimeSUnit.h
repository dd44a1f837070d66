#pragma once
// The time server window: starts and stops the Time protocol server on port
// 37 over TCP and UDP, and counts the requests of each.

#include "shell/ToolForm.h"
#include "time/TimeServ.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace qordex::shell {
class TMemo;
}

namespace qordex::timetools {

class TForm10 : public shell::TToolForm {
    Q_OBJECT
public:
    // `clock` is what the answers tell; tests hand a fake.
    explicit TForm10(QWidget* parent = nullptr, TClock& clock = SystemClock());
    ~TForm10() override;

    void StartBtClick();
    void CheckBoxClick();

    // The start button's tag: 0 stopped, 1 running.
    int StartTag() const;
    TTimeServ& TimeServ1() { return server_; }

protected:
    void Shutdown() override;

private:
    void ServerStarted();
    void ServerStopped();
    void Query(TTimeProtocol p);

    QPushButton* StartBt;
    QCheckBox* CheckBox1; // TCP
    QCheckBox* CheckBox2; // UDP
    QLabel* Label4;
    QLabel* TCPConnects;
    QLabel* UDPConnects;
    shell::TMemo* Memo1;

    TTimeServ server_;
};

} // namespace qordex::timetools
