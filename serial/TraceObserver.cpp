#include "serial/TraceObserver.h"

#include <chrono>

namespace serial {

const char* TraceLineEventName(TraceLineEvent e) {
    switch (e) {
    case TraceLineEvent::Opened:
        return "opened";
    case TraceLineEvent::Closed:
        return "closed";
    case TraceLineEvent::LineSettings:
        return "line-settings";
    case TraceLineEvent::Dtr:
        return "dtr";
    case TraceLineEvent::Break:
        return "break";
    case TraceLineEvent::BreakReceived:
        return "break-received";
    case TraceLineEvent::ModemLines:
        return "modem-lines";
    case TraceLineEvent::LineErrors:
        return "line-errors";
    case TraceLineEvent::Purged:
        return "purged";
    case TraceLineEvent::WriteTimedOut:
        return "write-timed-out";
    case TraceLineEvent::Failure:
        return "failure";
    }
    return "unknown";
}

uint64_t TraceMicros() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace serial
