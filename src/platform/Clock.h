#pragma once
// The machine's clock, kept in UTC.  Windows and commands use SystemClock();
// tests hand the time engines a fake so that nothing ever sets the real one.

#include <cstdint>

namespace qordex {

// A point in UTC: whole seconds since 1970-01-01 00:00:00 and the nanoseconds after them.
struct TUtcTime {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;
};

class TClock {
public:
    virtual ~TClock() = default;
    virtual TUtcTime NowUtc() = 0;
    // Sets the clock; 0 on success, else the errno of the failure (EPERM,
    // 1, without the privilege to set the time).
    virtual int SetUtc(const TUtcTime& t) = 0;
};

// CLOCK_REALTIME.  Setting it needs CAP_SYS_TIME.
TClock& SystemClock();

} // namespace qordex
