#pragma once
// TWaitingThread: a watcher that reports changes of the machine's IPv4
// addresses (kind 1) or routes (kind 2).  It listens on its own rtnetlink
// socket, opened in the constructor (so it watches the network namespace of
// the thread that creates it), and runs on its own thread.
//
// Reports never touch the creator synchronously: every change is queued to
// the creator's thread (through a hidden window) and delivered from its event
// loop, so the creator may wait for or destroy the watcher at any time without
// deadlock.  Anything still queued when the watcher is destroyed is dropped.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace qordex {
class HiddenWindow;
}

namespace qordex::diag {

class TWaitingThread {
public:
    enum Kind { kAddrChange = 1, kRouteChange = 2 };

    // Opens the notification socket and starts the thread at once.  `text` is
    // what OnChange reports ("AddressChanged", "RouteChanged").  Throws
    // EIpHlpError when the socket cannot be opened.  Must be created on a
    // thread that runs a Qt event loop (the window's), and destroyed there.
    TWaitingThread(int kind, std::string text);
    // Asks the thread to stop and waits for it; returns within about a second.
    ~TWaitingThread();
    TWaitingThread(const TWaitingThread&) = delete;
    TWaitingThread& operator=(const TWaitingThread&) = delete;

    int Kind() const { return kind_; }
    const std::string& Text() const { return text_; }

    // Asks the thread to stop; returns at once.  OnTerminate follows, queued.
    void Terminate();
    // True once the thread has left its loop.
    bool Finished() const { return finished_; }
    // Reports queued for the creator's thread so far, delivered or not (tests
    // wait for one to be queued).
    int Posted() const { return posted_; }

    // Fires on the creator's thread for every batch of changes seen, with
    // Text().  The handler may destroy the sender.
    std::function<void(TWaitingThread& sender, const std::string& text)> OnChange;
    // Fires on the creator's thread once the thread has ended (after Terminate
    // or a socket failure), with Kind().  The handler may destroy the sender.
    std::function<void(TWaitingThread& sender, int kind)> OnTerminate;

private:
    void Run();

    int kind_;
    std::string text_;
    int sock_ = -1; // rtnetlink socket subscribed to the kind's group
    int wake_ = -1; // eventfd that Terminate() signals
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> posted_{0};
    std::unique_ptr<HiddenWindow> window_; // the creator thread's end of the queue
    std::shared_ptr<bool> alive_;          // cleared by the destructor
    std::thread thread_;
};

} // namespace qordex::diag
