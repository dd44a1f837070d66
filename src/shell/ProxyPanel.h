#pragma once
// The proxy settings panel of the client tools: hidden until its tool's
// PROXY button shows it, with "Use Proxy", "Authenticate", address, port,
// user code and password.  A press on the panel or one of its labels drags
// it within its window (TPanelDrag).

#include "net/Socks5Settings.h"

#include <QFrame>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace qordex::shell {

class TPanelDrag;

class TProxyPanel : public QFrame {
    Q_OBJECT
public:
    // The panel is named "ProxyPanel" and placed at `geometry` in `parent`.
    TProxyPanel(QWidget* parent, const QString& title, const QRect& geometry);

    // What the PROXY button does: shows or hides the panel, and on showing
    // it puts the focus on "Use Proxy".
    void Toggle();

    QCheckBox* PEnableCheck;
    QCheckBox* PAuthCheck;
    QLabel* AddressLabel; // "Address"
    QLineEdit* PAddressEdit;
    QLineEdit* PPortEdit;
    QLineEdit* PUserEdit;
    QLineEdit* PPassEdit;

    // What the panel holds, for a socket that is about to connect.
    TSocks5Settings Socks5() const;

    // Makes the "Address" label a link: a click on it emits AddressClicked
    // (the HTTP client imports the system's proxy that way).
    void MakeAddressLink(const QString& objectName, const QString& hint);

signals:
    void AddressClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TPanelDrag* drag_;
};

} // namespace qordex::shell
