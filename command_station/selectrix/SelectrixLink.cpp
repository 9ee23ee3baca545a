#include "command_station/selectrix/SelectrixLink.h"

#include "command_station/MivoComm.h"
#include "command_station/selectrix/SelectrixMessages.h"

namespace command_station::selectrix {

namespace {
constexpr uint32_t kProbeMs = 250;
} // namespace

void SelectrixLink::ApplyProfile() {
    com_.SetBaudRate(serial::br9600);
}

bool SelectrixLink::ConnectionOk() {
    com_.PurgeBuffers(true, true);
    com_.VerstuurBytes(ReadRequest(kCentralUnit));
    return ReadOneByteWithin(kProbeMs);
}

bool SelectrixLink::EmergencyStop() {
    com_.PurgeBuffers(true, false);
    com_.VerstuurBytes(ReadRequest(kCentralUnit));
    std::string answer;
    com_.ReadText(answer, 1);
    return answer.empty() || answer[0] == 0;
}

bool SelectrixLink::PowerOn() {
    com_.VerstuurBytes(WriteRequest(kCentralUnit, 0xFF));
    return Link::PowerOn();
}

void SelectrixLink::PowerOff() {
    com_.VerstuurBytes(WriteRequest(kCentralUnit, 0x00));
    Link::PowerOff();
}

void SelectrixLink::Loco(const LocoCommand& c, std::string& result) {
    // Functions 2..4 have no place in a Selectrix locomotive byte.
    uint8_t data = LocoByte(c.speed, c.light, c.forward, c.functions[0]);
    com_.VerstuurBytes(WriteRequest(c.address, data));
    result.assign(1, static_cast<char>(data));
}

void SelectrixLink::Feedback(const FeedbackRequest& r, std::string& result) {
    if (r.address > kHighestDevice) return;
    // A late answer to an earlier read must not pass for this one.
    com_.PurgeBuffers(true, false);
    com_.VerstuurBytes(ReadRequest(r.address));
    std::string answer;
    com_.ReadText(answer, 1);
    result = answer;
}

void SelectrixLink::FunctieDecoder(uint8_t adres, uint8_t waarde) {
    com_.VerstuurBytes(WriteRequest(adres, waarde));
}

} // namespace command_station::selectrix
