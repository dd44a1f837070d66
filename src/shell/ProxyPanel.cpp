#include "shell/ProxyPanel.h"

#include "shell/PanelDrag.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>

namespace qordex::shell {
namespace {

QLabel* Label(QWidget* parent, const QString& text, int x, int y, int w) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(x, y, w, 21);
    return l;
}

QLineEdit* Edit(QWidget* parent, const char* name, int x, int y, int w) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(x, y, w, 21);
    return e;
}

} // namespace

TProxyPanel::TProxyPanel(QWidget* parent, const QString& title, const QRect& geometry)
    : QFrame(parent) {
    setObjectName(QStringLiteral("ProxyPanel"));
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Raised);
    setAutoFillBackground(true);
    setGeometry(geometry);
    hide();
    const int edit = geometry.width() - 90;
    QLabel* caption = Label(this, title, 8, 4, geometry.width() - 16);
    QFont bold = caption->font();
    bold.setBold(true);
    caption->setFont(bold);
    PEnableCheck = new QCheckBox(QStringLiteral("Use Proxy"), this);
    PEnableCheck->setObjectName(QStringLiteral("PEnableCheck"));
    PEnableCheck->setGeometry(8, 28, 110, 21);
    PAuthCheck = new QCheckBox(QStringLiteral("Authenticate"), this);
    PAuthCheck->setObjectName(QStringLiteral("PAuthCheck"));
    PAuthCheck->setGeometry(140, 28, 130, 21);
    AddressLabel = Label(this, QStringLiteral("Address"), 8, 56, 70);
    PAddressEdit = Edit(this, "PAddressEdit", 80, 56, edit);
    QLabel* portLabel = Label(this, QStringLiteral("Port"), 8, 82, 70);
    PPortEdit = Edit(this, "PPortEdit", 80, 82, 70);
    QLabel* userLabel = Label(this, QStringLiteral("UserCode"), 8, 108, 70);
    PUserEdit = Edit(this, "PUserEdit", 80, 108, edit);
    QLabel* passLabel = Label(this, QStringLiteral("Password"), 8, 134, 70);
    PPassEdit = Edit(this, "PPassEdit", 80, 134, edit);
    PPassEdit->setEchoMode(QLineEdit::Password);
    drag_ = new TPanelDrag(this, {caption, AddressLabel, portLabel, userLabel, passLabel});
}

void TProxyPanel::MakeAddressLink(const QString& objectName, const QString& hint) {
    // A link is clicked, not dragged by.
    AddressLabel->removeEventFilter(drag_);
    AddressLabel->installEventFilter(this);
    AddressLabel->setObjectName(objectName);
    AddressLabel->setToolTip(hint);
    AddressLabel->setCursor(Qt::PointingHandCursor);
    QFont link = AddressLabel->font();
    link.setUnderline(true);
    AddressLabel->setFont(link);
}

TSocks5Settings TProxyPanel::Socks5() const {
    TSocks5Settings s;
    s.use = PEnableCheck->isChecked();
    s.authenticate = PAuthCheck->isChecked();
    s.address = PAddressEdit->text().toStdString();
    s.port = PPortEdit->text().toStdString();
    s.user = PUserEdit->text().toStdString();
    s.password = PPassEdit->text().toStdString();
    return s;
}

void TProxyPanel::Toggle() {
    setVisible(!isVisible());
    if (isVisible()) {
        raise();
        PEnableCheck->setFocus();
    }
}

bool TProxyPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == AddressLabel && event->type() == QEvent::MouseButtonRelease) {
        emit AddressClicked();
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

} // namespace qordex::shell
