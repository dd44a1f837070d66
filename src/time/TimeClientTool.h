#pragma once
// The time client tool without its window: the requests of "Get Time" and
// "Get DayTime", Cancel, the log lines of its pane, the text of its answer
// field, and the clock setting of "Synchronize".  The window and
// qordex-cli time both drive it.

#include "net/Socks5Settings.h"
#include "platform/Clock.h"
#include "time/WSTimeClient.h"

#include <functional>
#include <string>

namespace qordex {

struct TTimeRequest {
    std::string server;
    bool udp = false;
    bool daytime = false;
    TSocks5Settings socks;
};

class TTimeClientTool {
public:
    explicit TTimeClientTool(TClock& clock = SystemClock());
    ~TTimeClientTool();
    TTimeClientTool(const TTimeClientTool&) = delete;
    TTimeClientTool& operator=(const TTimeClientTool&) = delete;

    TWSTimeClient WSTimeClient1;

    // Set the clock from Time answers ("Synchonize local clock").
    bool Sync = false;
    // Time answers in the user's locale (the window) or as
    // "yyyy-MM-dd HH:mm:ss" (the command); both in UTC.
    bool LocaleFormat = true;

    // A line for the log pane.
    std::function<void(const std::string&)> OnLog;
    // The answer field's new text ("wait...", the answer, "aborted").
    std::function<void(const std::string&)> OnTimeEdit;
    // The request is over: the window resets its buttons.
    std::function<void()> OnIdle;

    // Starts a request; false (after logging why) when it could not start.
    bool Start(const TTimeRequest& r);
    // Aborts the request: "aborted" in the answer field, "Session closed".
    void Cancel();

    // A request runs (the socket is open).
    bool Busy() const { return WSTimeClient1.State() != wsClosed; }
    // This request got an answer; with Sync, also whether the clock was set.
    bool Answered() const { return answered_; }
    bool ClockSet() const { return clockSet_; }

private:
    void Log(const std::string& line);
    void Show(const std::string& text);
    void Idle();
    void Time(double dateTime);

    TClock& clock_;
    bool answered_ = false;
    bool clockSet_ = false;
    bool socksFailed_ = false; // "Socks error" logged for this request
};

} // namespace qordex
