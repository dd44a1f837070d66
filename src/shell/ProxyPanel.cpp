#include "shell/ProxyPanel.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <algorithm>

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
    for (QObject* o : std::initializer_list<QObject*>{this, caption, AddressLabel, portLabel,
                                                      userLabel, passLabel})
        o->installEventFilter(this);
}

void TProxyPanel::MakeAddressLink(const QString& objectName, const QString& hint) {
    addressLink_ = true;
    AddressLabel->setObjectName(objectName);
    AddressLabel->setToolTip(hint);
    AddressLabel->setCursor(Qt::PointingHandCursor);
    QFont link = AddressLabel->font();
    link.setUnderline(true);
    AddressLabel->setFont(link);
}

void TProxyPanel::Toggle() {
    setVisible(!isVisible());
    if (isVisible()) {
        raise();
        PEnableCheck->setFocus();
    }
}

bool TProxyPanel::eventFilter(QObject* watched, QEvent* event) {
    const bool onLink = addressLink_ && watched == AddressLabel;
    if (onLink && event->type() == QEvent::MouseButtonRelease) {
        emit AddressClicked();
        return true;
    }
    if (event->type() == QEvent::MouseButtonPress) {
        dragFrom_ = static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - pos();
        return !onLink;
    }
    if (event->type() == QEvent::MouseMove &&
        (static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton)) {
        QPoint to = static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - dragFrom_;
        if (QWidget* w = parentWidget()) {
            to.setX(std::clamp(to.x(), 0, std::max(0, w->width() - width())));
            to.setY(std::clamp(to.y(), 0, std::max(0, w->height() - height())));
        }
        move(to);
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

} // namespace qordex::shell
