#include "platform/Clock.h"

#include <cerrno>
#include <ctime>

namespace qordex {
namespace {

class TSystemClock final : public TClock {
public:
    TUtcTime NowUtc() override {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return {std::int64_t(ts.tv_sec), std::int32_t(ts.tv_nsec)};
    }

    int SetUtc(const TUtcTime& t) override {
        const timespec ts{time_t(t.seconds), long(t.nanoseconds)};
        return ::clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : errno;
    }
};

} // namespace

TClock& SystemClock() {
    static TSystemClock clock;
    return clock;
}

} // namespace qordex
