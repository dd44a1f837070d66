#pragma once
// The UDP listener window: receives datagrams on a local port and shows each
// one's sender and contents, optionally from one sender only.

#include "shell/ToolForm.h"
#include "tools/UdpListener.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace qordex::shell {
class TMemo;
}

namespace qordex::tools {

// Lines each pane keeps: a sender that never stops must not fill the
// memory; the oldest lines go first.
constexpr int kMaxPaneLines = 100000;

class TForm11 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm11(QWidget* parent = nullptr);
    ~TForm11() override;

    // The controls' handlers, as the user triggers them.
    void StartBtClick();
    void AnyServerCheckBoxClick();
    void AddressEditChange();

    // The start button's tag: 0 stopped, 1 listening.
    int StartTag() const;
    TUdpListener& Listener() { return listener_; }

protected:
    void Shutdown() override;
    void ClearOutput() override;

private:
    void EnableFields();
    void SessionConnected();
    void SessionClosed();
    void Datagram(const std::string& sender, const std::vector<std::string>& entries);

    shell::TMemo* Memo1;
    shell::TMemo* DataAvailable;
    QLineEdit* PortEdit;
    QLineEdit* AddressEdit;
    QCheckBox* AnyServerCheckBox;
    QCheckBox* LineEndCheck;
    QPushButton* StartBt;

    TUdpListener listener_; // owns the socket, WSocket
};

} // namespace qordex::tools
