#include "command_station/kaart/KaartLink.h"

#include "command_station/MivoComm.h"
#include "command_station/kaart/KaartMessages.h"

#include "platform/Tick.h"

namespace command_station::kaart {

using namespace serial;

namespace {

constexpr const char* kInitFailed =
    "De seriele kaart kon niet worden geinitialiseerd. Staat het rek wel aan en is de "
    "verbindingskabel juist aangesloten?";
constexpr uint32_t kStartUpMs = 1000;
constexpr uint32_t kResetPulseMs = 250;
constexpr uint32_t kProbeMs = 250;

} // namespace

void KaartLink::ApplyProfile() {
    com_.SetBaudRate(br9600);
    com_.SetStopBits(sbOneStopBit);
    com_.FlowControl().SetControlDTR(dtrEnable);
    com_.Timeouts().SetReadInterval(10);
    com_.Timeouts().SetReadTotalMultiplier(0);
    com_.Timeouts().SetReadTotalConstant(100);
    com_.Timeouts().SetWriteTotalMultiplier(0);
    com_.Timeouts().SetWriteTotalConstant(100);
    KaartSnelGewenst = false; // the profile sets a rate of its own
}

// ---------------------------------------------------------------- open and close

void KaartLink::BeforeOpen() {
    // A failed initialisation leaves the port at 9600; without the kept wish
    // the card would stay slow at every later open.
    TBaudRate rate = com_.BaudRate();
    bool snel = rate == br19200 || (KaartSnelGewenst && rate == br9600);
    if (snel) {
        // The card starts at 9600 baud; its initialisation switches it up.
        com_.SetBaudRate(br9600);
    }
    com_.KaartSnel = snel;
    KaartSnelGewenst = snel;
    KaartGeinitialiseerd = false;
}

void KaartLink::BeforeClose() {
    Link::BeforeClose();
    // A DTR pulse resets the card, so the next open starts at 9600 baud.
    com_.SetDTRLine(false);
    platform::Sleep(kResetPulseMs);
    com_.SetDTRLine(true);
    KaartGeinitialiseerd = false;
}

// ---------------------------------------------------------------- initialisation

bool KaartLink::Initialise() {
    if (!KaartGeinitialiseerd) KaartGeinitialiseerd = KaartInit();
    if (KaartGeinitialiseerd) return true;
    com_.LaatsteFout = kInitFailed;
    return false;
}

bool KaartLink::KaartInit() {
    if (!com_.Connected()) return false; // nothing to echo, and no port to ask
    // The card needs a second after its reset; the host stays responsive.
    platform::Deadline startUp = platform::Deadline::After(kStartUpMs);
    while (!startUp.Reached())
        ProcessMessagesBriefly(startUp.Remaining());
    if (!com_.Connected()) return false; // the host closed the port meanwhile

    uint8_t config = ConfigByte(com_.KaartOptie0, com_.KaartOptie1, com_.KaartOptie2,
                                com_.KaartSnel, com_.KaartOptie4);
    com_.PurgeBuffers(true, true);
    com_.VerstuurBytes(std::string(1, static_cast<char>(config)));
    std::string echo;
    com_.ReadText(echo, 1);
    if (echo.size() != 1 || static_cast<uint8_t>(echo[0]) != config) return false;
    if (com_.KaartSnel) {
        com_.SetBaudRate(br19200);
        KaartSnelGewenst = false; // the port itself carries the wish now
    }
    return true;
}

// ---------------------------------------------------------------- operations

bool KaartLink::ConnectionOk() {
    if (!KaartGeinitialiseerd) com_.InitSysteem();
    if (!KaartGeinitialiseerd) return false;
    com_.PurgeBuffers(true, true);
    com_.VerstuurBytes(std::string(1, static_cast<char>(kProbe)));
    return ReadOneByteWithin(kProbeMs);
}

void KaartLink::Feedback(const FeedbackRequest& r, std::string& result) {
    std::string request = ReadRequest(r.address, r.request, r.flag2);
    if (request.empty()) return;
    com_.PurgeBuffers(true, false);
    com_.VerstuurBytes(request);
    std::string answer;
    com_.ReadText(answer, 2);
    result = answer.size() == 2 ? answer.substr(1) : std::string(1, static_cast<char>(kNoAnswer));
}

} // namespace command_station::kaart
