#include "command_station/dinamo/DinamoLink.h"

#include "command_station/MivoComm.h"
#include "command_station/dinamo/DinamoMessages.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>

namespace command_station::dinamo {

namespace {

constexpr const char* kGeenCommunicatie = "Geen communicatie met DINAMO mogelijk!";
constexpr const char* kNoodstopOnbekend = "TMivoCom.GetSysteemNoodstop nog aanvullen!";
constexpr uint32_t kResetInterval = 1000;
constexpr uint32_t kConnectMs = 1000;
constexpr uint32_t kConnectPauseMs = 1000;

const std::string kResetData(1, static_cast<char>(kResetCommand));

uint8_t U8(char c) {
    return static_cast<uint8_t>(c);
}

std::string TooLong(size_t bytes) {
    return "TMivoCom.DinamoOpdracht: " + std::to_string(bytes) +
           " bytes passen niet in een DINAMO-frame (hoogstens 3); niets verstuurd.";
}

} // namespace

void DinamoLink::ApplyProfile() {
    com_.SetBaudRate(serial::br9600);
    com_.SetStopBits(serial::sbOneStopBit);
    com_.Parity().SetCheck(true);
    com_.Parity().SetBits(serial::prOdd);
    DinamoInvoer.clear();
}

// The DINAMO has no question for it: the same guard as an unknown system.
bool DinamoLink::EmergencyStop() {
    platform::Host().ShowMessage(kNoodstopOnbekend);
    return false;
}

bool DinamoLink::Initialise() {
    if (!com_.Connected()) return false;
    if (DinamoVerbind()) return true;
    com_.LaatsteFout = kGeenCommunicatie;
    return false;
}

bool DinamoLink::AnswerDue() const {
    // Before the first frame there is nothing to wait for, whatever the
    // deadline field holds.
    return answerMs_ != 0 && DinamoAntwoordTot != kNothingDue;
}

bool DinamoLink::ResetAllowed(uint32_t now) const {
    return !resetSet_ ||
           platform::BoundedRemaining(now, static_cast<uint32_t>(DinamoResetNietVoor), kResetInterval) == 0;
}

bool DinamoLink::DinamoOpdracht(const std::string& data) {
    if (data.size() > kMaxData) {
        platform::Host().ShowMessage(TooLong(data.size()));
        return false;
    }
    if (!data.empty()) DinamoRij.push_back(data);
    return true;
}

void DinamoLink::DinamoZend(const std::string& data) {
    std::string frame = Frame(data, DinamoToggle);
    uint32_t now = platform::GetTickCount();
    DinamoLeegVerstuurd = data.empty();
    if (data == kResetData) {
        DinamoResetNietVoor = static_cast<int32_t>(now + kResetInterval);
        resetSet_ = true;
    }
    lastData_ = data;
    com_.VerstuurBytes(frame);
    now = platform::GetTickCount();
    // At least a millisecond, so a zero setting cannot turn the resends into
    // a spin.
    answerMs_ = std::max<uint16_t>(com_.DinamoAntwoordTijd, 1);
    int32_t tot = static_cast<int32_t>(now + answerMs_);
    // The one tick that reads as "nothing due" is taken one ms early, so an
    // answer is never forgotten once every 49.7 days.
    if (tot == kNothingDue) --tot;
    DinamoAntwoordTot = tot;
}

void DinamoLink::DinamoOntvang() {
    if (!com_.Connected()) return;
    // Unless DinamoWacht just saw the line readable, a look at readiness is
    // the cheapest way to learn that nothing came (one call instead of the
    // status query's two).
    serial::ComDevice* device = com_.Device();
    bool ready = false;
    if (!readable_ && device && device->WaitReadable(0, ready) == 0 && !ready) return;
    int waiting = com_.PendingInputCount();
    // Readable without bytes stays suspect until bytes come again.
    if (waiting > 0)
        readableEmpty_ = false;
    else if (readable_)
        readableEmpty_ = true;
    readable_ = false;
    if (waiting <= 0) return;
    std::string received;
    com_.ReadText(received, waiting);
    Received(received);
}

void DinamoLink::Received(const std::string& bytes) {
    DinamoInvoer += bytes;

    std::string frame;
    for (;;) {
        Cut cut = NextFrame(DinamoInvoer, frame);
        if (cut == Cut::Incomplete) break;
        if (cut == Cut::Bad) continue; // lost; the answer stays due

        uint8_t header = U8(frame[0]);
        uint8_t toggle = (header & kToggleBit) ? 1 : 0;
        // Only the frame in flight can be answered: an answer with another
        // toggle is a late one to an earlier frame, and while nothing is
        // due any frame is one nobody asked for.
        if (toggle != DinamoToggle || !AnswerDue()) continue;

        if (!DinamoLeegVerstuurd && !DinamoRij.empty()) DinamoRij.pop_front();
        DinamoAntwoordTot = kNothingDue;
        DinamoToggle ^= 1u;

        bool hold = (header & kHoldBit) != 0;
        bool fault = (header & kFaultBit) != 0;
        if (hold != DinamoHold) com_.DoAlgTekst(aaTest, hold ? "hold actief" : "hold opgeheven");
        if (fault != DinamoFault) com_.DoAlgTekst(aaTest, fault ? "fault actief" : "fault opgeheven");
        DinamoHold = hold;
        DinamoFault = fault;

        size_t n = header & kCountMask;
        if (n == 0) continue;
        Report m = ReportOf(frame.substr(1, n));
        if (m.kind == Report::Action)
            com_.DoDinDoeIets(m.action, m.data1, m.data2, 0, 0);
        else if (m.kind == Report::Text)
            com_.DoAlgTekst(aaTest, m.text);
    }
}

void DinamoLink::DinamoCyclus() {
    if (!com_.Connected()) return;
    DinamoOntvang();
    uint32_t now = platform::GetTickCount();
    if (AnswerDue()) {
        if (platform::BoundedRemaining(now, static_cast<uint32_t>(DinamoAntwoordTot), answerMs_) > 0)
            return;
        com_.DoAlgTekst(aaTest, "opnieuw...");
        // The same frame again with the same toggle: the DINAMO takes it for
        // a repeat, so it must carry what the first one carried, or a command
        // queued meanwhile would pass for answered without being carried out.
        // A reset inside its second goes again as an empty frame.
        std::string data = lastData_;
        if (data == kResetData && !ResetAllowed(now)) data.clear();
        DinamoZend(data);
        return;
    }
    if (DinamoFault) DinamoResetFout();
    ByteQueue& queue = DinamoRij;
    // Commands put into the list by hand bypass DinamoOpdracht; one that
    // cannot be framed would block the link for good, so it goes, loudly.
    while (!queue.empty() && queue.front().size() > kMaxData) {
        platform::Host().ShowMessage(TooLong(queue.front().size()));
        queue.pop_front();
    }
    if (queue.empty()) {
        DinamoZend("");
    } else if (DinamoHold || DinamoFault) {
        // Frozen but for the fault reset, at most once a second.
        bool reset = queue.front() == kResetData && ResetAllowed(now);
        DinamoZend(reset ? kResetData : std::string());
    } else {
        DinamoZend(queue.front());
    }
}

void DinamoLink::DinamoResetFout() {
    ByteQueue& queue = DinamoRij;
    if (!queue.empty() && queue.front() == kResetData) return;
    queue.push_front(kResetData);
    com_.DoAlgTekst(aaTest, "reset fault");
}

bool DinamoLink::DinamoWacht(uint32_t maxMs) {
    if (!com_.Connected()) return false;
    platform::Deadline end = platform::Deadline::After(maxMs);
    for (;;) {
        if (!AnswerDue()) return true;
        uint32_t answer =
            platform::BoundedRemaining(platform::GetTickCount(),
                                     static_cast<uint32_t>(DinamoAntwoordTot), answerMs_);
        if (answer == 0) return true;
        uint32_t wait = std::min(answer, end.Remaining());
        serial::ComDevice* device = com_.Device();
        bool ready = false;
        if (!readableEmpty_ && device &&
            device->WaitReadable(static_cast<int>(wait), ready) == 0) {
            // Readable: the next DinamoOntvang looks at what came.
            if (ready) {
                readable_ = true;
                return true;
            }
        } else {
            // The line read as readable last time without any bytes (a
            // hang-up does that for good): that is no news, so count the
            // bytes and pause between looks instead.
            if (com_.PendingInputCount() > 0) return true;
            if (wait > 0) platform::Sleep(std::min<uint32_t>(wait, 2));
        }
        if (end.Reached()) return false;
    }
}

bool DinamoLink::DinamoVerbind() {
    if (!com_.Connected()) return false;
    DinamoFault = true;
    com_.PurgeBuffers(true, true);
    DinamoInvoer.clear(); // what was read before the purge is as stale as what it threw away
    DinamoAntwoordTot = kNothingDue;
    DinamoRij.clear();
    platform::Deadline end = platform::Deadline::After(kConnectMs);
    while (DinamoFault && !end.Reached()) {
        DinamoCyclus();
        if (DinamoFault) DinamoWacht(end.Remaining());
    }
    if (!DinamoFault) platform::Sleep(kConnectPauseMs);
    return !DinamoFault;
}

} // namespace command_station::dinamo
