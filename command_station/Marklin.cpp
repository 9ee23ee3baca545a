// Märklin: the interface takes one- and two-byte commands and answers only
// feedback reads. It paces the PC in two ways: it holds CTS while it is busy,
// and it needs fixed gaps between commands (MarklinBytePauze between any two
// transmissions, MarklinLocPauze after a locomotive command and after power
// off, MarklinStopPauze as a second gap after power off, and 500 ms after
// power on before the first locomotive command).
//
// Deadlines. Each deadline is kept twice: as the tick field the host sees
// (MarklinVolgendeZending, MarklinLocVrijNa, MarklinStopVrijNa) and, beside
// it, as the moment it was set with the pause that produced it. Waits are
// measured from that moment on the monotonic microsecond clock, so
// - a deadline never set counts as passed (a tick field that starts at 0
//   would otherwise lie ahead for half of the counter's turn),
// - no wait lasts longer than the pause that produced it, whatever the
//   counter does in between, and
// - a gap is never shorter than its pause through the tick's rounding.
// Every wait sleeps; none lets window messages through.
//
// Held-back locomotive commands. A command that cannot go at once (power
// off, CTS held, the gap after the previous one still running) waits in
// MarklinAchtergehouden, and while the list is not empty every new command
// joins it, so commands keep their order. A newer command for an address
// replaces the one still waiting for it (in that one's place): the
// interface only needs the last wish per locomotive, and the list can never
// hold more than one command per address (at most 256). The oldest waiting
// command goes out as soon as power is on, CTS is free and the gap has
// passed: with the next locomotive command at the latest, or earlier when
// the host calls MarklinVerstuurAchtergehouden from a timer. One goes out
// per MarklinLocPauze. Power off keeps the list: after power on the last
// wishes still go out.
#include "command_station/MivoComm.h"

#include "platform/Tick.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace command_station {

namespace {

constexpr uint8_t kStroomAan = 0x60;
constexpr uint8_t kStroomUit = 0x61;
constexpr uint8_t kLeesTotEnMet = 128;
constexpr uint8_t kLeesEen = 192;
constexpr uint8_t kLicht = 16;
constexpr uint8_t kFuncties = 64;
constexpr uint8_t kHoogsteModule = 31;
// After power on: no locomotive command for 500 ms, no power off for 450.
constexpr uint32_t kLocNaAanMs = 500;
constexpr uint32_t kStopNaAanMs = 450;

std::string Byte(uint8_t b) {
    return std::string(1, static_cast<char>(b));
}

} // namespace

// ---------------------------------------------------------------- pure helpers

uint8_t MarklinLocByte(uint8_t snelheid, bool licht) {
    return static_cast<uint8_t>(snelheid + (licht ? kLicht : 0));
}

std::string MarklinZendTekst(uint8_t eerste, uint8_t tweede) {
    std::string t = "Adres: " + std::to_string(tweede) + " stuur echt: " + std::to_string(eerste);
    if (eerste >= kFuncties) t += " (functies)";
    return t;
}

std::string MarklinBezetVerzoek(uint8_t adres, bool alle, int& antwoordBytes) {
    antwoordBytes = 0;
    if (adres < 1 || adres > kHoogsteModule) return {};
    antwoordBytes = alle ? 2 * adres : 2;
    return Byte(static_cast<uint8_t>((alle ? kLeesTotEnMet : kLeesEen) + adres));
}

void MarklinHoudAchter(TBytesLijst& lijst, uint8_t eerste, uint8_t tweede) {
    std::string opdracht{static_cast<char>(eerste), static_cast<char>(tweede)};
    auto zelfdeAdres = [&](const std::string& w) {
        return w.size() == 2 && static_cast<uint8_t>(w[1]) == tweede;
    };
    auto it = std::find_if(lijst.begin(), lijst.end(), zelfdeAdres);
    if (it != lijst.end())
        *it = opdracht;
    else
        lijst.push_back(opdracht);
}

// ---------------------------------------------------------------- deadlines

void TMivoCom::MarklinZet(int32_t& veld, MarklinTermijn& termijn, uint32_t pauzeMs) {
    veld = static_cast<int32_t>(platform::GetTickCount() + pauzeMs);
    termijn.gezetUs = platform::MicroNow();
    termijn.pauzeMs = pauzeMs;
}

uint64_t TMivoCom::MarklinResterendUs(const MarklinTermijn& termijn) {
    if (termijn.pauzeMs == 0) return 0; // never set, or set without a gap
    uint64_t pauzeUs = uint64_t{termijn.pauzeMs} * 1000u;
    uint64_t verstreken = platform::MicroNow() - termijn.gezetUs;
    return verstreken >= pauzeUs ? 0 : pauzeUs - verstreken;
}

void TMivoCom::MarklinWacht(const MarklinTermijn& termijn) {
    // sleep_for never returns early, so one sleep reaches the deadline.
    if (uint64_t us = MarklinResterendUs(termijn))
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// ---------------------------------------------------------------- locomotives

void TMivoCom::MarklinVerstuurLoc(uint8_t eerste, uint8_t tweede) {
    if (OnAlgTekst) DoAlgTekst(aaLoc, MarklinZendTekst(eerste, tweede));
    VerstuurBytes(std::string{static_cast<char>(eerste), static_cast<char>(tweede)});
    MarklinZet(MarklinLocVrijNa, marklinLocVrij_, MarklinLocPauze);
}

void TMivoCom::MarklinZendLoc(uint8_t eerste, uint8_t tweede) {
    bool kanNu = SysteemAan && CheckCTS() && MarklinResterendUs(marklinLocVrij_) == 0;
    bool niemandWacht = !MarklinAchtergehouden || MarklinAchtergehouden->empty();
    if (kanNu && niemandWacht) {
        MarklinVerstuurLoc(eerste, tweede);
        return;
    }
    if (!MarklinAchtergehouden) MarklinAchtergehouden = std::make_unique<TBytesLijst>();
    MarklinHoudAchter(*MarklinAchtergehouden, eerste, tweede);
    if (kanNu) MarklinVerstuurAchtergehouden();
}

bool TMivoCom::MarklinVerstuurAchtergehouden(bool wachten) {
    if (!MarklinAchtergehouden || MarklinAchtergehouden->empty()) return false;
    if (DigitaalSysteem != dsMarklin || !SysteemAan || !CtsVrij()) return false;
    if (wachten)
        MarklinWacht(marklinLocVrij_);
    else if (MarklinResterendUs(marklinLocVrij_) > 0)
        return false;
    std::string opdracht = MarklinAchtergehouden->front();
    MarklinAchtergehouden->pop_front();
    MarklinVerstuurLoc(static_cast<uint8_t>(opdracht[0]), static_cast<uint8_t>(opdracht[1]));
    return true;
}

// ---------------------------------------------------------------- power

bool TMivoCom::MarklinZetAan() {
    if (SysteemAan) return true;
    if (!CheckCTS()) return false;
    SysteemAan = true;
    VerstuurBytes(Byte(kStroomAan));
    MarklinZet(MarklinLocVrijNa, marklinLocVrij_, kLocNaAanMs);
    MarklinZet(MarklinStopVrijNa, marklinStopVrij_, kStopNaAanMs);
    return true;
}

void TMivoCom::MarklinZetUit() {
    if (!SysteemAan) return;
    SysteemAan = false;
    MarklinWacht(marklinLocVrij_);
    MarklinWacht(marklinStopVrij_);
    if (CtsVrij()) VerstuurBytes(Byte(kStroomUit));
    MarklinZet(MarklinLocVrijNa, marklinLocVrij_, MarklinLocPauze);
    MarklinZet(MarklinStopVrijNa, marklinStopVrij_, MarklinStopPauze);
}

// ---------------------------------------------------------------- feedback

void TMivoCom::MarklinBezetmelder(uint8_t Adres, bool alle, std::string& Resultaat) {
    int antwoordBytes = 0;
    std::string verzoek = MarklinBezetVerzoek(Adres, alle, antwoordBytes);
    if (verzoek.empty()) return;
    PurgeBuffers(true, false);
    if (!CheckCTS()) return;
    VerstuurBytes(verzoek);
    ReadText(Resultaat, antwoordBytes);
}

} // namespace command_station
