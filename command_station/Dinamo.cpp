// DINAMO: a 9600 baud line with odd parity carrying short framed packets,
// one frame out and one valid frame back. While nothing is to be sent an
// empty frame keeps the exchange going, so the DINAMO can report. Each
// answer carries the hold and fault bits and may carry one report
// (occupancy, magnet or block).
#include "command_station/Dinamo.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>
#include <stdexcept>

namespace command_station {

namespace {

constexpr const char* kAlleenDinamo = "TMivoCom.DinamoOpdracht alleen van toepassing bij DINAMO!";
constexpr uint32_t kResetInterval = 1000;
constexpr uint32_t kVerbindTijd = 1000;
constexpr uint32_t kVerbindPauze = 1000;

const std::string kResetData(1, static_cast<char>(kDinamoResetOpdracht));

uint8_t U8(char c) {
    return static_cast<uint8_t>(c);
}

std::string TeLang(size_t bytes) {
    return "TMivoCom.DinamoOpdracht: " + std::to_string(bytes) +
           " bytes passen niet in een DINAMO-frame (hoogstens 3); niets verstuurd.";
}

} // namespace

// ---------------------------------------------------------------- pure parts

uint8_t DinamoControleByte(const std::string& bytes) {
    unsigned som = 0;
    for (char c : bytes)
        som += U8(c);
    return static_cast<uint8_t>(((0u - som) & 0x7Fu) | 0x80u);
}

std::string DinamoFrame(const std::string& data, uint8_t toggle) {
    if (data.size() > kDinamoMaxData)
        throw std::length_error("DINAMO frame: " + std::to_string(data.size()) +
                                " data bytes, at most 3 fit");
    std::string frame(1, static_cast<char>(data.size() + (toggle & 1u) * kDinamoToggleBit));
    frame += data;
    frame += static_cast<char>(DinamoControleByte(frame));
    return frame;
}

bool DinamoSomOke(const std::string& frame) {
    unsigned som = 0;
    for (char c : frame)
        som += U8(c);
    return (som & 0x7Fu) == 0;
}

TDinamoSnede DinamoVolgendFrame(std::string& invoer, std::string& frame) {
    size_t garbage = 0;
    while (garbage < invoer.size() && (U8(invoer[garbage]) & 0x80u) != 0)
        ++garbage;
    invoer.erase(0, garbage);
    if (invoer.empty()) return TDinamoSnede::Onvolledig;
    size_t lengte = (U8(invoer[0]) & kDinamoAantalMasker) + 2u;
    if (invoer.size() < lengte) return TDinamoSnede::Onvolledig;
    frame = invoer.substr(0, lengte);
    invoer.erase(0, lengte);
    return DinamoSomOke(frame) ? TDinamoSnede::Frame : TDinamoSnede::Fout;
}

TDinamoMelding DinamoMeldingVan(const std::string& data) {
    TDinamoMelding m;
    if (data.empty()) return m;
    uint8_t b1 = U8(data[0]);
    uint16_t b2 = data.size() > 1 ? (U8(data[1]) & 0x7Fu) : 0;
    uint8_t soort = b1 & 0x7Cu;
    if (soort == 0x04 || soort == 0x0C) {
        // Occupancy reports are one or two bytes; three cannot be one.
        if (data.size() == 3) return m;
        m.soort = TDinamoMelding::Actie;
        m.aktie = daBezetmelder;
        m.data1 = static_cast<uint16_t>(b2 + 1);
        m.data2 = (b1 & 0x02u) ? 1 : 0;
    } else if ((b1 & 0x7Eu) == 0x02) {
        m.soort = TDinamoMelding::Actie;
        m.aktie = daMagneet;
        m.data1 = static_cast<uint16_t>(b2 + 1);
        m.data2 = b1 & 0x01u;
    } else if ((b1 & 0x60u) == 0x40) {
        m.soort = TDinamoMelding::Actie;
        m.aktie = daBlok;
        m.data1 = static_cast<uint16_t>((b1 & 0x1Fu) + 1);
        m.data2 = b2;
    } else {
        m.soort = TDinamoMelding::Tekst;
        m.tekst = "ontv: " + std::to_string(b1);
    }
    return m;
}

uint32_t DinamoResterend(uint32_t nu, int32_t deadline, uint32_t duur) {
    int32_t over = static_cast<int32_t>(static_cast<uint32_t>(deadline) - nu);
    if (over <= 0 || static_cast<uint32_t>(over) > duur) return 0;
    return static_cast<uint32_t>(over);
}

bool DinamoVerstreken(uint32_t nu, int32_t deadline, uint32_t duur) {
    return DinamoResterend(nu, deadline, duur) == 0;
}

// ---------------------------------------------------------------- the link

TBytesLijst& TMivoCom::DinamoLijst() {
    if (!DinamoRij) DinamoRij = std::make_unique<TBytesLijst>();
    return *DinamoRij;
}

bool TMivoCom::DinamoAntwoordVerwacht() const {
    // Before the first frame there is nothing to wait for, whatever the
    // deadline field holds.
    return dinamoAntwoordDuur_ != 0 && DinamoAntwoordTot != kDinamoNietsVerwacht;
}

bool TMivoCom::DinamoResetToegestaan(uint32_t nu) const {
    return !dinamoResetGezet_ || DinamoVerstreken(nu, DinamoResetNietVoor, kResetInterval);
}

bool TMivoCom::DinamoOpdracht(const std::string& data) {
    if (DigitaalSysteem != dsDinamo) {
        platform::Host().ShowMessage(kAlleenDinamo);
        return false;
    }
    if (data.size() > kDinamoMaxData) {
        platform::Host().ShowMessage(TeLang(data.size()));
        return false;
    }
    if (!data.empty()) DinamoLijst().push_back(data);
    return true;
}

bool TMivoCom::DinamoSomOke(const std::string& frame) const {
    return command_station::DinamoSomOke(frame);
}

void TMivoCom::DinamoZend(const std::string& data) {
    std::string frame = DinamoFrame(data, DinamoToggle);
    uint32_t nu = platform::GetTickCount();
    DinamoLeegVerstuurd = data.empty();
    if (data == kResetData) {
        DinamoResetNietVoor = static_cast<int32_t>(nu + kResetInterval);
        dinamoResetGezet_ = true;
    }
    dinamoLaatsteData_ = data;
    VerstuurBytes(frame);
    nu = platform::GetTickCount();
    // At least a millisecond, so a zero setting cannot turn the resends into
    // a spin.
    dinamoAntwoordDuur_ = std::max<uint16_t>(DinamoAntwoordTijd, 1);
    int32_t tot = static_cast<int32_t>(nu + dinamoAntwoordDuur_);
    // The one tick that reads as "nothing due" is taken one ms early, so an
    // answer is never forgotten once every 49.7 days.
    if (tot == kDinamoNietsVerwacht) --tot;
    DinamoAntwoordTot = tot;
}

void TMivoCom::DinamoOntvang() {
    // Another system's bytes are not ours to take.
    if (!Connected() || DigitaalSysteem != dsDinamo) return;
    // Unless DinamoWacht just saw the line readable, a look at readiness is
    // the cheapest way to learn that nothing came (one call instead of the
    // status query's two).
    serial::ComDevice* device = Device();
    bool klaar = false;
    if (!dinamoLeesbaar_ && device && device->WaitReadable(0, klaar) == 0 && !klaar) return;
    int wachtend = PendingInputCount();
    // Readable without bytes stays suspect until bytes come again.
    if (wachtend > 0)
        dinamoLeegLeesbaar_ = false;
    else if (dinamoLeesbaar_)
        dinamoLeegLeesbaar_ = true;
    dinamoLeesbaar_ = false;
    if (wachtend <= 0) return;
    std::string binnen;
    ReadText(binnen, wachtend);
    DinamoInvoer += binnen;

    std::string frame;
    for (;;) {
        TDinamoSnede snede = DinamoVolgendFrame(DinamoInvoer, frame);
        if (snede == TDinamoSnede::Onvolledig) break;
        if (snede == TDinamoSnede::Fout) continue; // lost; the answer stays due

        uint8_t header = U8(frame[0]);
        uint8_t toggle = (header & kDinamoToggleBit) ? 1 : 0;
        // Only the frame in flight can be answered: an answer with another
        // toggle is a late one to an earlier frame, and while nothing is
        // due any frame is one nobody asked for.
        if (toggle != DinamoToggle || !DinamoAntwoordVerwacht()) continue;

        if (!DinamoLeegVerstuurd && DinamoRij && !DinamoRij->empty()) DinamoRij->pop_front();
        DinamoAntwoordTot = kDinamoNietsVerwacht;
        DinamoToggle ^= 1u;

        bool hold = (header & kDinamoHoldBit) != 0;
        bool fault = (header & kDinamoFaultBit) != 0;
        if (hold != DinamoHold) DoAlgTekst(aaTest, hold ? "hold actief" : "hold opgeheven");
        if (fault != DinamoFault) DoAlgTekst(aaTest, fault ? "fault actief" : "fault opgeheven");
        DinamoHold = hold;
        DinamoFault = fault;

        size_t n = header & kDinamoAantalMasker;
        if (n == 0) continue;
        TDinamoMelding m = DinamoMeldingVan(frame.substr(1, n));
        if (m.soort == TDinamoMelding::Actie)
            DoDinDoeIets(m.aktie, m.data1, m.data2, 0, 0);
        else if (m.soort == TDinamoMelding::Tekst)
            DoAlgTekst(aaTest, m.tekst);
    }
}

void TMivoCom::DinamoCyclus() {
    if (!Connected() || DigitaalSysteem != dsDinamo) return;
    DinamoOntvang();
    uint32_t nu = platform::GetTickCount();
    if (DinamoAntwoordVerwacht()) {
        if (!DinamoVerstreken(nu, DinamoAntwoordTot, dinamoAntwoordDuur_)) return;
        DoAlgTekst(aaTest, "opnieuw...");
        // The same frame again with the same toggle: the DINAMO takes it for
        // a repeat, so it must carry what the first one carried, or a command
        // queued meanwhile would pass for answered without being carried out.
        // A reset inside its second goes again as an empty frame.
        std::string data = dinamoLaatsteData_;
        if (data == kResetData && !DinamoResetToegestaan(nu)) data.clear();
        DinamoZend(data);
        return;
    }
    if (DinamoFault) DinamoResetFout();
    TBytesLijst& rij = DinamoLijst();
    // Commands put into the list by hand bypass DinamoOpdracht; one that
    // cannot be framed would block the link for good, so it goes, loudly.
    while (!rij.empty() && rij.front().size() > kDinamoMaxData) {
        platform::Host().ShowMessage(TeLang(rij.front().size()));
        rij.pop_front();
    }
    if (rij.empty()) {
        DinamoZend("");
    } else if (DinamoHold || DinamoFault) {
        // Frozen but for the fault reset, at most once a second.
        bool reset = rij.front() == kResetData && DinamoResetToegestaan(nu);
        DinamoZend(reset ? kResetData : std::string());
    } else {
        DinamoZend(rij.front());
    }
}

void TMivoCom::DinamoResetFout() {
    TBytesLijst& rij = DinamoLijst();
    if (!rij.empty() && rij.front() == kResetData) return;
    rij.push_front(kResetData);
    DoAlgTekst(aaTest, "reset fault");
}

bool TMivoCom::DinamoWacht(uint32_t maxMs) {
    if (!Connected()) return false;
    platform::Deadline einde = platform::Deadline::After(maxMs);
    for (;;) {
        if (!DinamoAntwoordVerwacht()) return true;
        uint32_t antwoord =
            DinamoResterend(platform::GetTickCount(), DinamoAntwoordTot, dinamoAntwoordDuur_);
        if (antwoord == 0) return true;
        uint32_t wacht = std::min(antwoord, einde.Remaining());
        serial::ComDevice* device = Device();
        bool klaar = false;
        if (!dinamoLeegLeesbaar_ && device &&
            device->WaitReadable(static_cast<int>(wacht), klaar) == 0) {
            // Readable: the next DinamoOntvang looks at what came.
            if (klaar) {
                dinamoLeesbaar_ = true;
                return true;
            }
        } else {
            // The line read as readable last time without any bytes (a
            // hang-up does that for good): that is no news, so count the
            // bytes and pause between looks instead.
            if (PendingInputCount() > 0) return true;
            if (wacht > 0) platform::Sleep(std::min<uint32_t>(wacht, 2));
        }
        if (einde.Reached()) return false;
    }
}

bool TMivoCom::DinamoVerbind() {
    if (!Connected() || DigitaalSysteem != dsDinamo) return false;
    DinamoFault = true;
    PurgeBuffers(true, true);
    DinamoInvoer.clear(); // what was read before the purge is as stale as what it threw away
    DinamoAntwoordTot = kDinamoNietsVerwacht;
    DinamoLijst().clear();
    platform::Deadline einde = platform::Deadline::After(kVerbindTijd);
    while (DinamoFault && !einde.Reached()) {
        DinamoCyclus();
        if (DinamoFault) DinamoWacht(einde.Remaining());
    }
    if (!DinamoFault) platform::Sleep(kVerbindPauze);
    return !DinamoFault;
}

} // namespace command_station
