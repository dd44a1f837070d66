#include "platform/HiddenWindow.h"

#include "platform/AsyncLookup.h"

#include <QCoreApplication>
#include <QEvent>

namespace qordex {
namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct MessageEvent : QEvent {
    MessageEvent(unsigned m, WPARAM w, LPARAM l) : QEvent(kMessageEvent), msg(m), wParam(w), lParam(l) {}
    unsigned msg;
    WPARAM wParam;
    LPARAM lParam;
};

struct CallEvent : QEvent {
    explicit CallEvent(std::function<void()> f) : QEvent(kCallEvent), fn(std::move(f)) {}
    std::function<void()> fn;
};

} // namespace

HiddenWindow::HiddenWindow(Handler handler) : handler_(std::move(handler)) {}

HiddenWindow::~HiddenWindow() {
    // A lookup still running must not post into a window that is gone.
    CancelLookupsFor(this);
}

void HiddenWindow::Post(unsigned msg, WPARAM wParam, LPARAM lParam) {
    QCoreApplication::postEvent(this, new MessageEvent(msg, wParam, lParam));
}

void HiddenWindow::Send(unsigned msg, WPARAM wParam, LPARAM lParam) {
    if (handler_)
        handler_(msg, wParam, lParam);
}

void HiddenWindow::PostCall(std::function<void()> fn) {
    QCoreApplication::postEvent(this, new CallEvent(std::move(fn)));
}

void HiddenWindow::customEvent(QEvent* event) {
    if (event->type() == kMessageEvent) {
        auto* m = static_cast<MessageEvent*>(event);
        // Copy the handler: it may replace itself or destroy this window.
        Handler h = handler_;
        if (h)
            h(m->msg, m->wParam, m->lParam);
    } else if (event->type() == kCallEvent) {
        auto fn = std::move(static_cast<CallEvent*>(event)->fn);
        if (fn)
            fn();
    }
}

} // namespace qordex
