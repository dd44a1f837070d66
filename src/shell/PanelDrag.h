#pragma once
// The floating settings panels of the tool windows (the proxy panels): a
// tiny flat button shows and hides them, and a press on the panel or on one
// of its labels drags it about inside its window.

#include <QObject>
#include <QPoint>
#include <initializer_list>

class QToolButton;
class QWidget;

namespace qordex::shell {

// The tiny flat "PROXY" button, hint "Proxy configuration", named ProxyBt.
QToolButton* MakeProxyButton(QWidget* parent);

// Lets the user drag `panel` inside its parent by the panel itself or by
// any of `handles` (its labels, say).  Owned by the panel.
class TPanelDrag : public QObject {
public:
    explicit TPanelDrag(QWidget* panel, std::initializer_list<QWidget*> handles = {});
    // Adds another widget the panel can be dragged by.
    void AddHandle(QWidget* handle);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* panel_;
    QPoint from_; // the press, relative to the panel's position
    bool dragging_ = false;
};

} // namespace qordex::shell
