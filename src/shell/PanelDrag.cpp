#include "shell/PanelDrag.h"

#include <QEvent>
#include <QMouseEvent>
#include <QToolButton>
#include <QWidget>
#include <algorithm>

namespace qordex::shell {

QToolButton* MakeProxyButton(QWidget* parent) {
    auto* bt = new QToolButton(parent);
    bt->setObjectName(QStringLiteral("ProxyBt"));
    bt->setText(QStringLiteral("PROXY"));
    bt->setToolTip(QStringLiteral("Proxy configuration"));
    bt->setAutoRaise(true);
    QFont tiny = bt->font();
    tiny.setPointSizeF(tiny.pointSizeF() * 0.75);
    bt->setFont(tiny);
    return bt;
}

TPanelDrag::TPanelDrag(QWidget* panel, std::initializer_list<QWidget*> handles)
    : QObject(panel), panel_(panel) {
    panel->installEventFilter(this);
    for (QWidget* h : handles)
        AddHandle(h);
}

void TPanelDrag::AddHandle(QWidget* handle) {
    handle->installEventFilter(this);
}

bool TPanelDrag::eventFilter(QObject*, QEvent* event) {
    // Only mouse events are read as such.
    auto at = [event] { return static_cast<QMouseEvent*>(event)->globalPosition().toPoint(); };
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        dragging_ = true;
        from_ = at() - panel_->pos();
        return true;
    case QEvent::MouseMove:
        if (!dragging_)
            return false;
        if (QWidget* window = panel_->parentWidget()) {
            QPoint to = at() - from_;
            to.setX(std::clamp(to.x(), 0, std::max(0, window->width() - panel_->width())));
            to.setY(std::clamp(to.y(), 0, std::max(0, window->height() - panel_->height())));
            panel_->move(to);
        }
        return true;
    case QEvent::MouseButtonRelease:
        if (!dragging_)
            return false;
        dragging_ = false;
        return true;
    default:
        return false;
    }
}

} // namespace qordex::shell
