#pragma once
// A hidden message window: the per-thread endpoint that deferred work and
// asynchronous completions are posted to.  Posting is thread-safe; dispatch
// happens on the thread that created the window, from its Qt event loop, in
// the order the messages were posted.

#include <QObject>
#include <cstdint>
#include <functional>

namespace qordex {

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

// First message number free for components (mirrors the platform's WM_USER).
constexpr unsigned WM_USER = 0x0400;

class HiddenWindow : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(unsigned msg, WPARAM wParam, LPARAM lParam)>;

    explicit HiddenWindow(Handler handler = {});
    ~HiddenWindow() override;

    // Queues a message for the owner thread; safe from any thread.  Messages
    // still queued when the window is destroyed are dropped.
    void Post(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Delivers a message at once, on the calling thread.
    void Send(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);

    void SetHandler(Handler handler) { handler_ = std::move(handler); }

    // Queues an arbitrary piece of work behind the messages already posted.
    void PostCall(std::function<void()> fn);

protected:
    void customEvent(QEvent* event) override;

private:
    Handler handler_;
};

} // namespace qordex
