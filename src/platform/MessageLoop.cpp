#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtGlobal>

namespace qordex {

void UseLeanMessageLoop() {
    // Read by Qt when it makes each thread's dispatcher; a choice already
    // made by the user stands.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

void PumpMessages() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                            : QDeadlineTimer(timeoutMs);
    // The ticker wakes the dispatcher regularly, so that a predicate changed
    // from another thread is seen while the loop sleeps waiting for events.
    QTimer ticker;
    ticker.setInterval(10);
    ticker.start();
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents();
    }
    return true;
}

} // namespace qordex
