#include "time/TimeClientTool.h"

#include "time/TimeCodec.h"

#include <QDateTime>
#include <QLocale>

namespace qordex {
namespace {

std::string LocaleText(double dateTime) {
    const QDateTime t =
        QDateTime::fromSecsSinceEpoch(UtcFromDateTime(dateTime).seconds, Qt::UTC);
    const QLocale locale;
    const QString format = locale.dateFormat(QLocale::ShortFormat) + QLatin1Char(' ') +
                           locale.timeFormat(QLocale::LongFormat);
    return locale.toString(t, format).toStdString();
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

} // namespace

TTimeClientTool::TTimeClientTool(TClock& clock) : clock_(clock) {
    TWSTimeClient& c = WSTimeClient1;
    c.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t err) {
        if (err != 0) {
            // A connection that failed never connected: after a SOCKS
            // failure its own line says so already.
            if (!socksFailed_)
                Log("Error");
            Idle();
            return;
        }
        Show("");
        Log("Session connected");
    };
    c.OnTime = [this](TCustomWSocket*, double dt) { Time(dt); };
    c.OnDayTime = [this](TCustomWSocket*, const std::string& text) {
        answered_ = true;
        Idle();
        Log("Get DayTime OK");
        Show(text);
    };
    c.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) {
        Idle();
        Log("Session closed");
    };
    c.OnError = [this](TCustomWSocket*) {
        Idle();
        Log("Error");
    };
    c.OnSocksError = [this](TCustomWSocket*, int, const std::string&) {
        socksFailed_ = true;
        Idle();
        Log("Socks error");
    };
}

TTimeClientTool::~TTimeClientTool() {
    TWSTimeClient& c = WSTimeClient1;
    c.OnSessionConnected = nullptr;
    c.OnTime = nullptr;
    c.OnDayTime = nullptr;
    c.OnSessionClosed = nullptr;
    c.OnError = nullptr;
    c.OnSocksError = nullptr;
}

bool TTimeClientTool::Start(const TTimeRequest& r) {
    answered_ = clockSet_ = socksFailed_ = false;
    Show("wait...");
    Log(r.daytime ? "Connecting to port 13" : "Connecting to port 37");
    TWSTimeClient& c = WSTimeClient1;
    try {
        c.SetProto(r.udp ? "udp" : "tcp");
        c.SetAddr(r.server);
        ApplySocks5(c, r.socks);
        if (r.daytime)
            c.RequestDayTime();
        else
            c.RequestTime();
    } catch (const std::exception& e) {
        // A request refused before it reached the network (an address that
        // is no address, a socket still open).
        Log(FirstLine(e.what()));
        if (c.State() != wsClosed)
            c.Abort();
        Idle();
        return false;
    }
    return true;
}

void TTimeClientTool::Cancel() {
    Idle();
    Show("aborted");
    WSTimeClient1.Abort();
}

void TTimeClientTool::Time(double dateTime) {
    answered_ = true;
    if (Sync) {
        // The clock keeps UTC, so the answer is set as it is.
        const int err = clock_.SetUtc(UtcFromDateTime(dateTime));
        clockSet_ = err == 0;
        if (err != 0)
            Log("Clock not set, error #" + std::to_string(err));
    }
    Idle();
    Log("Get Time OK");
    Show(LocaleFormat ? LocaleText(dateTime) : FormatDateTimeIso(dateTime));
}

void TTimeClientTool::Log(const std::string& line) {
    if (OnLog)
        OnLog(line);
}

void TTimeClientTool::Show(const std::string& text) {
    if (OnTimeEdit)
        OnTimeEdit(text);
}

void TTimeClientTool::Idle() {
    if (OnIdle)
        OnIdle();
}

} // namespace qordex
