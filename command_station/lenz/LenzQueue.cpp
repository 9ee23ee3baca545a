// Lenz, sending half: the command queue (see LenzLink.h).
//
// Deadlines. A reply deadline has passed once the tick counter is beyond
// it, not while it stands on it: with LenzAntwoordTijd 0 a command is
// resent by any call a millisecond or more after its transmission, but the
// second request that GetBezetmelder queues in the same millisecond waits
// for the first to be answered. No deadline ever lasts longer than the
// setting that made it: one that lies further ahead than the setting (a
// field never set, a setting lowered since) counts as passed.
#include "command_station/lenz/LenzLink.h"

#include "command_station/LenzLog.h"
#include "command_station/MivoComm.h"
#include "command_station/lenz/LenzMessages.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>

namespace command_station::lenz {

namespace {

const std::string kPowerOn("\x21\x81", 2);
const std::string kPowerOff("\x80", 1);
const std::string kTrackOff("\x21\x80", 2);
const std::string kVersionRequest("\x21\x21", 2);

constexpr uint32_t kVersionWaitMs = 1000;
// The power-off before a close: at most this long for the driver to send
// it, then a pause for the last bytes on the wire (two bytes take 2 ms at
// 9600 baud) and for the other end to read them.
constexpr uint32_t kPowerOffLeaveMs = 250;
constexpr uint32_t kAfterPowerOffMs = 10;
// How long a close waits for the queue to empty.
constexpr uint32_t kDrainMs = 1000;

uint8_t ByteAt(const std::string& s, size_t i) {
    return i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

// A deadline on the tick counter as the field holds it. The values 0 and 1
// mean "none" and "resend at once", so a tick that lands on them moves a
// millisecond or two earlier, never later.
int32_t AsDeadline(uint32_t tick) {
    if (tick == 0 || tick == 1) tick = 0xFFFFFFFFu;
    return static_cast<int32_t>(tick);
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s;
}

} // namespace

bool LenzLink::ReplyOverdue() const {
    if (LenzAntwoordTot == 0 || LenzAntwoordTot == 1) return true;
    return platform::BoundedPassed(platform::GetTickCount(), static_cast<uint32_t>(LenzAntwoordTot),
                                   com_.LenzAntwoordTijd);
}

void LenzLink::AwaitQuiet() {
    uint32_t until = static_cast<uint32_t>(LenzStilteTot);
    if (platform::BoundedRemaining(platform::GetTickCount(), until, com_.LenzStilteTijd) == 0) return;
    Log(kLenzLogErrors,
        "- wacht minimaal " + std::to_string(com_.LenzStilteTijd) + " msec op io-stilte");
    // No window messages here: no chunk may be handled between the wait and
    // the transmission it clears.
    platform::Deadline quiet{until};
    while (!quiet.Reached())
        platform::Sleep(quiet.Remaining());
}

void LenzLink::LenzZend(const std::string& opdracht) {
    ByteQueue& queue = LenzRij;
    if (!opdracht.empty()) queue.push_back(opdracht);

    bool deadline = LenzAntwoordTot != 0 && LenzAntwoordTot != 1;
    if (com_.LenzSlaOver == 1 && deadline && ReplyOverdue()) {
        Log(kLenzLogErrors, "- !!! geen reactie terug; verstuur volgende");
        if (!queue.empty()) queue.pop_front();
        LenzAntwoordTot = 0;
    }

    if (!com_.Connected() || queue.empty() || !ReplyOverdue()) return;
    const std::string head = queue.front();
    uint8_t first = ByteAt(head, 0);
    bool versie3 = LenzVersie >= 3.0;

    if (LenzAntwoordTot != 0) {
        std::string kind = "??";
        if (first == 0xB3 || first == 0xB4)
            kind = "locomotiefopdracht";
        else if (first == 0x52)
            kind = "wisselopdracht";
        else if (first == 0xE3 && versie3)
            kind = "locomotief statusopvraging (v3)";
        Log(kLenzLogErrors, "- !!! " + kind + " geen reactie; stuur opnieuw !!!");
    }

    VerwachtBezetAdres = -1;
    VerwachtNibble = 255;
    VerwachtLocAdres = -1;
    VerwachtLocV3.clear();
    WachtAllesAan = 0;
    WachtNoodstop = 0;
    if (first == 0x42) {
        VerwachtBezetAdres = static_cast<int16_t>(ByteAt(head, 1) + 1);
        VerwachtNibble = ByteAt(head, 2) == 0x80 ? 0 : 16;
    } else if (first == 0xA1 || first == 0xA2) {
        VerwachtLocAdres = ByteAt(head, 1);
    } else if (head == kPowerOn) {
        WachtAllesAan = versie3 ? 2 : 4;
    } else if (head == kPowerOff || head == kTrackOff) {
        WachtNoodstop = versie3 ? 2 : 4;
    } else if (first == 0xE3 && versie3 && head.size() >= 4) {
        VerwachtLocV3 = head.substr(2, 2);
    }

    uint8_t x = Xor(head);
    std::string line = head + static_cast<char>(x);
    std::string numbers = LenzLogAan(kLenzLogNumbers) ? NumbersText(head, x) : std::string();

    AwaitQuiet();
    com_.VerstuurBytes(line);
    uint32_t now = platform::GetTickCount();
    LenzStilteTot = static_cast<int32_t>(now + com_.LenzStilteTijd);
    LenzAntwoordTot = AsDeadline(now + com_.LenzAntwoordTijd);
    Log(kLenzLogNumbers, "- uit (getallen): " + numbers);
}

void LenzLink::LenzOpdrachtKlaar() {
    LenzAntwoordTot = 0;
    if (!LenzRij.empty()) LenzRij.pop_front();
    if (!LenzRij.empty()) LenzZend(std::string());
}

// ---------------------------------------------------------------- operations

void LenzLink::ApplyProfile() {
    com_.SetBaudRate(serial::br9600);
    com_.SetStopBits(serial::sbOneStopBit);
    com_.FlowControl().SetFlowControl(serial::fcHardware);
    com_.SetEvents(com_.Events() + serial::TComEvents{serial::evRxChar});
    com_.OnRxChar = [this](serial::TCustomComPort* sender, int count) { LenzOntvang(sender, count); };
    LenzInvoer.clear();
    LenzSynchroniseren = false;
}

bool LenzLink::PowerOn() {
    if (!com_.SysteemAan) {
        LenzZend(kPowerOn);
        Log(kLenzLogSent, "- uit: zet systeem aan");
    }
    return Link::PowerOn();
}

void LenzLink::PowerOff() {
    if (com_.SysteemAan) {
        LenzZend(kPowerOff);
        Log(kLenzLogSent, "- uit: zet systeem uit");
    }
    Link::PowerOff();
}

void LenzLink::TrackPowerOff() {
    // Sent whatever this program last commanded: the track may have been
    // switched on by a handset.
    LenzZend(kTrackOff);
    Log(kLenzLogSent, "- uit: zet spanning uit");
    Link::PowerOff();
}

void LenzLink::BeforeClose() {
    if (com_.SysteemAan) SwitchOffForClose(); // ahead of whatever waits in the queue
}

void LenzLink::Drain(const std::function<bool()>& stop) {
    const platform::Deadline limit = platform::Deadline::After(kDrainMs);
    while (!LenzRij.empty() && !limit.Reached() && !(stop && stop())) {
        platform::MainQueue().WaitForWork(std::min<uint32_t>(limit.Remaining(), 50));
        platform::MainQueue().Serve();
        LenzZend(std::string());
    }
}

void LenzLink::SwitchOffForClose() {
    // Closing must leave the layout off. Queued behind an unanswered head
    // the power-off would never reach the line before the port goes (and a
    // resend of a power-on head would even switch the layout on), so it
    // jumps the queue, and power-ons still waiting are void.
    ByteQueue& queue = LenzRij;
    queue.erase(std::remove(queue.begin(), queue.end(), kPowerOn), queue.end());
    queue.push_front(kPowerOff);
    // Whatever was in flight goes again after the next open.
    LenzAntwoordTot = 0;
    LenzZend(std::string());
    Log(kLenzLogSent, "- uit: zet systeem uit");
    com_.SysteemAan = false;
    LetPowerOffLeave();
}

void LenzLink::LetPowerOffLeave() {
    // Closing discards both driver queues once the event thread stops, so
    // the power-off must have left the driver first: wait (bounded) until
    // its output queue is empty, then for the bytes' time on the wire and
    // for the peer to take them.
    serial::ComDevice* device = com_.Device();
    platform::Deadline empty = platform::Deadline::After(kPowerOffLeaveMs);
    uint32_t waiting = 0;
    while (device && device->OutputPending(waiting) == 0 && waiting > 0 && !empty.Reached())
        platform::Sleep(1);
    platform::Sleep(kAfterPowerOffMs);
}

void LenzLink::Feedback(const FeedbackRequest& r, std::string&) {
    // The answers arrive later, as OnLenzDoeIets events.
    uint8_t Adres = r.address;
    if (Adres < 1 || Adres > 128) return;
    uint8_t a = static_cast<uint8_t>(Adres - 1);
    LenzZend(Bytes({0x42, a, 0x80}));
    Log(kLenzLogSent, "- uit (opvragen bezetmelder): " + std::to_string(Adres) + " lower nibble");
    LenzZend(Bytes({0x42, a, 0x81}));
    Log(kLenzLogSent, "- uit (opvragen bezetmelder): " + std::to_string(Adres) + " upper nibble");
}

void LenzLink::Loco(const LocoCommand& c, std::string& Resultaat) {
    const uint16_t Adres = c.address;
    const uint8_t Snelheid = c.speed, Modus = c.lenzSteps;
    const bool Licht = c.light, Vooruit = c.forward;
    uint8_t functies = 0;
    for (unsigned i = 0; i < 4; ++i)
        if (c.functions[i]) functies |= static_cast<uint8_t>(1u << i);
    uint8_t b = SpeedCode(Modus, Snelheid);
    // Step modes outside 1..8 have no header; nothing goes out for them.
    if (Modus >= 1 && Modus <= 8) {
        if (LenzVersie < 3.0 || Adres <= 99) {
            uint8_t header = Modus <= 3 ? 0xB3 : 0xB4;
            std::string opdracht{static_cast<char>(header), static_cast<char>(Adres % 256),
                                 static_cast<char>(b + (Licht ? 0x20 : 0) + (Vooruit ? 0x40 : 0)),
                                 static_cast<char>(functies)};
            // 0xB4 announces four data bytes: the step mode follows, 0, 1
            // and 2 for 14, 27 and 28 steps, and 3 for the 128 steps of
            // modes 4 and 8, which would otherwise leave the message short.
            if (header == 0xB4)
                opdracht += static_cast<char>(Modus == 4 || Modus == 8 ? 3 : Modus - 5);
            LenzZend(opdracht);
            Resultaat = opdracht;
        } else {
            std::string opdracht{'\xE4', static_cast<char>(0x10 + (Modus - 1) % 4)};
            opdracht += LenzAdresBytes(Adres);
            opdracht += static_cast<char>(b + (Vooruit ? 0x80 : 0));
            LenzZend(opdracht);
            Resultaat = opdracht;
            std::string functie{'\xE4', '\x20'};
            functie += LenzAdresBytes(Adres);
            functie += static_cast<char>(functies | (Licht ? 0x10 : 0));
            LenzZend(functie);
        }
    }
    Log(kLenzLogSent, SentLocoText(Adres, Snelheid, Vooruit, Licht));
}

double LenzLink::GetLenzVersie() {
    LenzVersie = 0.0;
    if (!com_.Connected()) return 0.0;
    LenzZend(kVersionRequest);
    Log(kLenzLogSent, "- uit: opvragen versienummer");
    // The answer reaches the parser through the port's deliveries, which
    // run only while window messages are let through.
    platform::Deadline done = platform::Deadline::After(kVersionWaitMs);
    for (;;) {
        platform::Host().ProcessMessages();
        if (LenzVersie != 0.0) break;
        uint32_t left = done.Remaining();
        if (left == 0) break;
        platform::MainQueue().WaitForWork(std::min<uint32_t>(left, 5));
    }
    return LenzVersie;
}

} // namespace command_station::lenz
