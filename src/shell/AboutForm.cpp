#include "shell/AboutForm.h"

#include "shell/Glyphs.h"

#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QToolButton>
#include <QWindow>

namespace qordex::shell {

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("AboutForm"));
    setFixedSize(365, 200);
    setFont(QFont(QStringLiteral("Tahoma")));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(235, 235, 235));
    setPalette(pal);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("BakPanel"));
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    panel->setGeometry(0, 0, 365, 200);

    auto* icon = new QLabel(panel);
    icon->setObjectName(QStringLiteral("IconImage"));
    icon->setGeometry(16, 36, 128, 128);
    icon->setPixmap(Glyph(GlyphKind::App).pixmap(128, 128));

    auto* name = new QLabel(QStringLiteral("Qordex"), panel);
    name->setObjectName(QStringLiteral("ProdNameLabel"));
    QFont nameFont(QStringLiteral("Arial"), 20);
    nameFont.setBold(true);
    nameFont.setItalic(true);
    name->setFont(nameFont);
    name->setStyleSheet(QStringLiteral("color: navy"));
    name->setAlignment(Qt::AlignCenter);
    name->setGeometry(152, 30, 200, 36);

    auto* info = new QLabel(QStringLiteral("version 4.0 (build 040000)\n\n"
                                           "Network utilities: diagnostics, clients and "
                                           "servers for the common Internet protocols."),
                            panel);
    info->setObjectName(QStringLiteral("InfoLabel"));
    info->setWordWrap(true);
    info->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    info->setGeometry(152, 76, 200, 100);

    auto* close = new QToolButton(panel);
    close->setObjectName(QStringLiteral("CloseBt"));
    close->setToolTip(QStringLiteral("Close"));
    close->setText(QStringLiteral("x"));
    close->setAutoRaise(true);
    close->setGeometry(343, 4, 18, 18);
    connect(close, &QToolButton::clicked, this, &QDialog::accept);

    for (QWidget* w : {static_cast<QWidget*>(panel), static_cast<QWidget*>(icon),
                       static_cast<QWidget*>(name), static_cast<QWidget*>(info)})
        w->installEventFilter(this);

    if (QScreen* screen = (parent ? parent->screen() : nullptr))
        move(screen->geometry().center() - rect().center());
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        // Let the window system move the borderless window with the mouse.
        if (QWindow* handle = windowHandle())
            handle->startSystemMove();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace qordex::shell
