#pragma once
// The proxy settings panel of the client tools: hidden until its tool's
// PROXY button shows it, with "Use Proxy", "Authenticate", address, port,
// user code and password.  A press on the panel or one of its labels drags
// it within its window.

#include <QFrame>
#include <QPoint>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace qordex::shell {

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

    // Makes the "Address" label a link: a click on it emits AddressClicked
    // (the HTTP client imports the system's proxy that way).
    void MakeAddressLink(const QString& objectName, const QString& hint);

signals:
    void AddressClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPoint dragFrom_; // where a drag started, relative to the panel
    bool addressLink_ = false;
};

} // namespace qordex::shell
