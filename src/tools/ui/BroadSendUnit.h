#pragma once
// The broadcast sender window: sends one line of text as a UDP datagram to
// 255.255.255.255 on a chosen port, from an automatic or chosen local port.

#include "shell/ToolForm.h"
#include "tools/BroadcastSender.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace qordex::tools {

class TForm12 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm12(QWidget* parent = nullptr);

    // The controls' handlers, as the user triggers them.
    void SendBtClick();
    void AnyPortCheckBoxClick();
    void LocalPortEditChange();

    TBroadcastSender& Sender() { return sender_; }

private:
    QLineEdit* PortEdit;
    QLineEdit* LocalPortEdit;
    QCheckBox* AnyPortCheckBox;
    QLineEdit* MessageEdit;
    QPushButton* SendBt;

    TBroadcastSender sender_; // owns the socket, WSocket
};

} // namespace qordex::tools
