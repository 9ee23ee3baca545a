#include "command_station/intellibox/IntelliboxLink.h"

#include "command_station/MivoComm.h"
#include "command_station/intellibox/IntelliboxMessages.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>
#include <cctype>

namespace command_station::intellibox {

using namespace serial;

namespace {

constexpr const char* kNotFound = "Geen Intellibox of TWIN-Center gevonden!";
constexpr uint8_t kCR = 0x0D;
// Waits for the trailing byte of a two-byte answer to the probe.
constexpr uint16_t kRestMs = 50;
// How long the binary answer and the P50 connection test may take.
constexpr uint16_t kBinaryAnswerMs = 500;
constexpr uint16_t kTextQuietMs = 250;
constexpr uint32_t kRT10WithinMs = 2300;
constexpr uint32_t kRT10PauseMs = 300;

std::string Byte(uint8_t b) {
    return std::string(1, static_cast<char>(b));
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

void IntelliboxLink::ApplyProfile() {
    com_.SetBaudRate(br2400);
    com_.FlowControl().SetFlowControl(fcHardware);
    com_.Buffer().SetInputSize(1024);
    com_.Buffer().SetOutputSize(512);
    com_.Timeouts().SetReadInterval(200);
    com_.Timeouts().SetReadTotalMultiplier(250);
    com_.Timeouts().SetReadTotalConstant(150);
    com_.Timeouts().SetWriteTotalMultiplier(750);
    com_.Timeouts().SetWriteTotalConstant(100);
}

bool IntelliboxLink::Initialise() {
    if (!IBGevonden) IBGevonden = IBZoek();
    if (IBGevonden) return true;
    com_.LaatsteFout = kNotFound;
    return false;
}

void IntelliboxLink::BeforeClose() {
    Link::BeforeClose();
    RestoreRate();
    IBGevonden = false;
}

// ---------------------------------------------------------------- the transaction

void IntelliboxLink::IBOpdracht(const std::string& P50XCommand, const std::string& P50Command,
                          bool GeenAntwoord, std::string& Antwoord) {
    if (!com_.Connected()) {
        Antwoord = Byte(0);
        return;
    }
    Transmission z = MakeTransmission(P50XCommand, P50Command, GeenAntwoord, IBXPrefix);
    if (!z.noAnswer) com_.PurgeBuffers(true, false);
    com_.VerstuurBytes(z.bytes);
    if (z.noAnswer) {
        Antwoord = Byte(0);
        return;
    }
    if (z.text) {
        Antwoord = ReadText();
        return;
    }
    Antwoord.clear();
    if (AwaitByte(kBinaryAnswerMs)) com_.ReadText(Antwoord, 1);
}

// A binary answer is one byte, so the line turning readable is all there is
// to wait for: block on the device without counting the input queue around
// it (that takes four driver calls per command).
bool IntelliboxLink::AwaitByte(uint32_t ms) {
    ComDevice* device = com_.Device();
    if (!com_.Connected() || !device) return false;
    platform::Deadline limit = platform::Deadline::After(ms);
    for (;;) {
        uint32_t rest = limit.Remaining();
        bool ready = false;
        if (device->WaitReadable(static_cast<int>(rest), ready) != 0)
            return com_.WachtOpInvoer(1, static_cast<uint16_t>(std::min<uint32_t>(rest, 0xFFFF)));
        if (ready) return true;
        if (rest == 0 || limit.Reached()) return false;
    }
}

std::string IntelliboxLink::ReadText() {
    std::string antwoord;
    platform::Deadline limit = platform::Deadline::After(kTextMaxMs);
    for (;;) {
        if (!com_.WachtOpInvoer(1, kTextQuietMs)) return antwoord;
        std::string b;
        if (com_.ReadText(b, 1) != 1) return antwoord;
        if (b[0] == ']') return antwoord;
        antwoord += b;
        if (antwoord.size() >= kTextMaxBytes || limit.Reached()) {
            com_.DoIBAddTekst("<fout> antwoord afgebroken na " + std::to_string(antwoord.size()) +
                         " bytes zonder ']'");
            if (com_.Connected()) com_.PurgeBuffers(true, false);
            return antwoord;
        }
    }
}

// ---------------------------------------------------------------- detection

void IntelliboxLink::AwaitQuiet() {
    if (!com_.Connected()) return;
    int n = com_.PendingInputCount();
    if (n <= 0) return;
    platform::Deadline limit = platform::Deadline::After(kQuietMaxMs);
    for (;;) {
        uint32_t rest = limit.Remaining();
        if (rest == 0 || n >= 0xFFFF) return;
        uint16_t wacht = static_cast<uint16_t>(std::min(kQuietMs, rest));
        if (!com_.WachtOpInvoer(static_cast<uint16_t>(n + 1), wacht)) return;
        n = com_.PendingInputCount();
    }
}

bool IntelliboxLink::IBZoek() {
    if (!com_.Connected() || !com_.CtsVrij()) return false;
    if (com_.IBDoelBaud == brCustom) com_.IBDoelBaud = com_.BaudRate();
    com_.SetBaudRate(com_.IBVasteBaud ? com_.IBDoelBaud : br2400);
    IBXPrefix = true;
    IBP50XMogelijk = true;
    TBaudRate kandidaat = com_.BaudRate();

    // A long break resets the interface's receiver, whatever rate it runs at.
    com_.PurgeBuffers(true, true);
    Pause(210);
    if (com_.Connected()) com_.SetBreakState(true);
    try {
        Pause(1020);
    } catch (...) {
        // A host that stops the scan here must not leave the line in break.
        if (com_.Connected()) com_.SetBreakState(false);
        throw;
    }
    if (com_.Connected()) com_.SetBreakState(false);
    Pause(610);

    bool gevonden = false;
    for (bool eerste = true; com_.Connected(); eerste = false) {
        if (!eerste) {
            com_.DoIBAddTekst("Check baudrate " + FullRateText(kandidaat));
            if (!com_.Connected()) break;
            com_.SetBaudRate(kandidaat);
        }
        com_.PurgeBuffers(true, true);
        com_.VerstuurBytes(Byte(kProbe));
        com_.WachtOpInvoer(2, 200);
        int n = com_.Connected() ? com_.PendingInputCount() : 0;
        bool opgegeven = false;
        if (n == 1) {
            IBXPrefix = false;
            std::string genegeerd;
            IBOpdracht("ZzA0", "", false, genegeerd);
            IBXPrefix = true;
            gevonden = true;
        } else if (n == 2) {
            gevonden = true;
        } else {
            TBaudRate volgende = com_.IBVasteBaud ? brCustom : NextRate(kandidaat, eerste);
            opgegeven = volgende == brCustom;
            if (!opgegeven) kandidaat = volgende;
            if (!com_.IBVasteBaud) Pause(100);
        }
        // Also after a find: the probe's answer must not count in the mode
        // probe below.
        if (com_.Connected()) com_.PurgeBuffers(true, true);
        if (gevonden || opgegeven) break;
    }

    if (!gevonden) {
        com_.DoIBAddTekst(com_.IBVasteBaud ? "<FOUT> de instelde baudrate is ongeldig!"
                                 : "<FOUT> geen geldige baudrate gevonden!");
        return false;
    }
    if (!com_.Connected()) return false;

    IBGevondenBaud = kandidaat;
    com_.DoIBAddTekst("Gevonden baudrate: " + RateText(kandidaat) + "00");
    if (!com_.Connected()) return false;

    // Mode probe: a mixed-mode interface answers "X" CR with two or three
    // bytes, a P50X-only one with a longer text, a P50-only one not at all.
    // When four bytes came, the answer may still be arriving: count it once
    // the line is quiet. Fewer after 200 ms are counted as they are.
    com_.VerstuurBytes(std::string{'X', static_cast<char>(kCR)});
    if (com_.WachtOpInvoer(4, 200)) AwaitQuiet();
    int n = com_.Connected() ? com_.PendingInputCount() : 0;
    if (n == 2 || n == 3) {
        com_.DoIBAddTekst("mixed mode");
        IBXPrefix = true;
        IBP50XMogelijk = true;
        if (com_.Connected()) com_.PurgeBuffers(true, true);
    } else if (n >= 4 && n <= 99) {
        com_.DoIBAddTekst("alleen IB eigen protocol (P50X) mode");
        IBXPrefix = false;
        if (com_.Connected()) com_.PurgeBuffers(true, false);
    } else {
        com_.DoIBAddTekst("alleen oud Marklin protocol; geen IB gevonden!");
        IBP50XMogelijk = false;
        if (com_.Connected()) com_.PurgeBuffers(true, false);
    }

    if (IBP50XMogelijk && com_.Connected()) ChangeRate();
    return com_.Connected();
}

// Moves the interface to com_.IBDoelBaud when it runs at another rate, then checks
// the line with "RT10". Returns whether the line answered.
bool IntelliboxLink::ChangeRate() {
    bool wijzig = com_.IBDoelBaud != com_.BaudRate();
    if (wijzig) {
        com_.DoIBAddTekst("- Wijzig baudrate naar " + RateText(com_.IBDoelBaud) + "00!");
        std::string antwoord;
        std::string commando = "B";
        commando += RateText(com_.IBDoelBaud);
        commando += "00";
        IBOpdracht(commando, "", false, antwoord);
        com_.DoIBAddTekst(antwoord);
        if (!com_.Connected()) return false;
        com_.SetBaudRate(com_.IBDoelBaud);
    }
    platform::Deadline limit = platform::Deadline::After(kRT10WithinMs);
    Pause(kRT10PauseMs);
    bool bevestigd = false;
    while (!limit.Reached() && com_.Connected()) {
        std::string antwoord;
        IBOpdracht("RT10", "", false, antwoord);
        if (Lower(antwoord).rfind("rs-232 cts", 0) == 0) {
            bevestigd = true;
            if (!limit.Reached()) com_.DoIBAddTekst(antwoord);
            break;
        }
    }
    if (!bevestigd && wijzig && com_.Connected()) {
        // The interface did not follow; it still runs at the rate it was
        // found at, so the port goes back there.
        com_.DoIBAddTekst("<fout> baudrate niet gewijzigd, terug naar " +
                     FullRateText(IBGevondenBaud) + " baud");
        com_.SetBaudRate(IBGevondenBaud);
    }
    return bevestigd;
}

// ---------------------------------------------------------------- operations

bool IntelliboxLink::ConnectionOk() {
    if (!IBGevonden) com_.InitSysteem();
    if (!IBGevonden || !com_.Connected()) return false;
    com_.PurgeBuffers(true, true);
    if (!IBP50XMogelijk) {
        // A P50 interface answers the read of feedback module 1 with two
        // bytes; any answer counts.
        com_.VerstuurBytes(Byte(kP50ReadModule + 1));
        bool antwoord = com_.WachtOpInvoer(1, kBinaryAnswerMs);
        com_.WachtOpInvoer(2, kRestMs);
        if (com_.Connected()) com_.PurgeBuffers(true, false);
        return antwoord;
    }
    std::string antwoord;
    IBOpdracht(Byte(kProbe), "", false, antwoord);
    // The probe is answered with two bytes; the second must not pass for the
    // answer to the next command.
    if (!antwoord.empty() && com_.WachtOpInvoer(1, kRestMs)) com_.PurgeBuffers(true, false);
    return antwoord.size() == 1 && antwoord[0] == 0;
}

bool IntelliboxLink::PowerOn() {
    if (!com_.CtsVrij()) return false;
    std::string antwoord;
    if (IBP50XMogelijk) {
        IBOpdracht(Byte(kPowerOn), "", false, antwoord);
        if (!antwoord.empty() && antwoord[0] != 0) {
            platform::Host().ShowMessage(IBFoutTekst(antwoord));
            return true;
        }
    } else if (!com_.SysteemAan) {
        IBOpdracht("", Byte(kP50PowerOn), true, antwoord);
    }
    com_.SysteemAan = true;
    return true;
}

void IntelliboxLink::PowerOff() {
    if (IBGevonden && com_.CtsVrij()) {
        std::string antwoord;
        if (IBP50XMogelijk) {
            IBOpdracht(Byte(kPowerOff), "", false, antwoord);
            if (!antwoord.empty() && antwoord[0] != 0) {
                com_.DoIBAddTekst("<fout> systeemuitzetten: " + IBFoutTekst(antwoord));
                return;
            }
        } else if (com_.SysteemAan) {
            com_.SysteemAan = false;
            IBOpdracht("", Byte(kP50PowerOff), true, antwoord);
        }
    }
    com_.SysteemAan = false;
}

void IntelliboxLink::Feedback(const FeedbackRequest&, std::string&) {
    if (!IBP50XMogelijk) return;
    std::string antwoord;
    IBOpdracht(Byte(kSensor), "", false, antwoord);
}

int IntelliboxLink::ReadModule(uint8_t module, uint16_t& inputs) {
    inputs = 0;
    if (module < 1 || module > kModuleMax || !IBGevonden || !com_.Connected()) return -1;
    std::string antwoord;
    if (IBP50XMogelijk) {
        IBOpdracht(std::string{static_cast<char>(kSensorStatus), static_cast<char>(module)}, "",
                   false, antwoord);
        if (antwoord.empty()) return -1;
        if (antwoord[0] != 0) return static_cast<uint8_t>(antwoord[0]);
    } else {
        com_.PurgeBuffers(true, false);
        com_.VerstuurBytes(Byte(static_cast<uint8_t>(kP50ReadModule + module)));
    }
    // The module's two bytes follow (at 2400 baud some 8 ms apart).
    if (!com_.WachtOpInvoer(2, kBinaryAnswerMs)) return -1;
    std::string bytes;
    com_.ReadText(bytes, 2);
    if (bytes.size() != 2) return -1;
    inputs = static_cast<uint16_t>(static_cast<uint8_t>(bytes[0]) << 8 | static_cast<uint8_t>(bytes[1]));
    return 0;
}

void IntelliboxLink::Loco(const LocoCommand& c, std::string&) {
    uint8_t Snelheid = c.speed > c.ibSteps ? c.ibSteps : c.speed;
    std::string antwoord;
    if (c.ibOldProtocol || (IBGevonden && !IBP50XMogelijk)) {
        IBOpdracht("", P50Loco(c.address, Snelheid, c.light), true, antwoord);
        return;
    }
    uint8_t waarde = SpeedValue(c.ibSteps, Snelheid);
    // Commands still waiting go first, whichever form this one takes.
    IBStuurAchtergehouden();
    if (!com_.IBBinaireLoc) {
        IBOpdracht(TextLoco(c.address, waarde, c.light, c.forward, c.functions), "", false,
                   antwoord);
        com_.DoIBAddTekst("Loc: " + antwoord);
        return;
    }
    std::string commando = BinaryLoco(c.address, waarde, c.light, c.forward, c.functions);
    if (!IBAchtergehouden.empty() || !com_.CtsVrij()) {
        HoldBack(commando);
        return;
    }
    if (!SendBinaryLoco(commando)) HoldBack(commando);
}

// Sends one binary locomotive command; false when the interface asks to try
// again later.
bool IntelliboxLink::SendBinaryLoco(const std::string& commando) {
    std::string antwoord;
    IBOpdracht(commando, "", false, antwoord);
    if (antwoord.empty() || antwoord[0] == 0) return true;
    com_.DoIBAddTekst("<fout> loc: " + std::to_string(platform::GetTickCount()) + " / " +
                 IBFoutTekst(antwoord));
    uint8_t code = static_cast<uint8_t>(antwoord[0]);
    return code != 8 && code != 9 && code != 10;
}

void IntelliboxLink::HoldBack(const std::string& commando) {
    ByteQueue& lijst = IBAchtergehouden;
    uint16_t adres = LocoAddress(commando);
    for (std::string& wachtend : lijst) {
        if (LocoAddress(wachtend) == adres) {
            wachtend = commando;
            return;
        }
    }
    lijst.push_back(commando);
    if (lijst.size() > kHeldBackMax) {
        com_.DoIBAddTekst("<fout> loc: opdracht voor adres " +
                     std::to_string(LocoAddress(lijst.front())) + " vervalt");
        lijst.pop_front();
    }
}

void IntelliboxLink::IBStuurAchtergehouden() {
    while (!IBAchtergehouden.empty() && com_.Connected() && com_.CtsVrij()) {
        std::string commando = IBAchtergehouden.front();
        if (!SendBinaryLoco(commando)) return; // still refused: it stays first
        // A log handler may have touched the list meanwhile; drop only what
        // was sent.
        if (!IBAchtergehouden.empty() && IBAchtergehouden.front() == commando)
            IBAchtergehouden.pop_front();
    }
}

void IntelliboxLink::RestoreRate() {
    if (!IBGevonden || com_.IBVasteBaud || IBGevondenBaud == com_.BaudRate() || !com_.CtsVrij())
        return;
    std::string rate = FullRateText(IBGevondenBaud);
    com_.DoIBAddTekst("- Weer terugzetten naar " + rate + " baud");
    if (rate == "??") return;
    std::string antwoord;
    std::string commando = "B";
    commando += rate;
    IBOpdracht(commando, "", false, antwoord);
    com_.DoIBAddTekst("Resultaat: " + antwoord);
}

} // namespace command_station::intellibox
