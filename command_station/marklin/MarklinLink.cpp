#include "command_station/marklin/MarklinLink.h"

#include "command_station/MivoComm.h"
#include "command_station/marklin/MarklinMessages.h"

#include "platform/Tick.h"

#include <chrono>
#include <thread>

namespace command_station::marklin {

using namespace serial;

namespace {

// After power on: no locomotive command for 500 ms, no power off for 450.
constexpr uint32_t kLocoAfterOnMs = 500;
constexpr uint32_t kStopAfterOnMs = 450;
constexpr uint32_t kCtsWaitMs = 1000;
// How long a close waits for the held-back commands to go out.
constexpr uint32_t kDrainMs = 2000;

} // namespace

void MarklinLink::ApplyProfile() {
    com_.SetBaudRate(com_.MarklinSnel ? br19200 : br2400);
    com_.FlowControl().SetFlowControl(fcHardware);
    com_.FlowControl().SetControlDTR(dtrEnable);
}

// ---------------------------------------------------------------- deadlines

void MarklinLink::Set(int32_t& field, Gap& gap, uint32_t pauseMs) {
    field = static_cast<int32_t>(platform::GetTickCount() + pauseMs);
    gap.pauseUs = uint64_t{pauseMs} * 1000u;
    gap.endUs = platform::MicroNow() + gap.pauseUs;
}

uint64_t MarklinLink::RemainingUs(const Gap& gap) {
    return platform::BoundedRemaining(platform::MicroNow(), gap.endUs, gap.pauseUs);
}

void MarklinLink::Await(const Gap& gap) {
    // Until the deadline has passed: a sleep may wake a little early on
    // Windows (its timer) and under wine.
    while (uint64_t us = RemainingUs(gap)) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

void MarklinLink::Transmit(const std::string& bytes) {
    Await(nextTransmission_);
    Link::Transmit(bytes);
    Set(MarklinVolgendeZending, nextTransmission_, com_.MarklinBytePauze);
}

bool MarklinLink::CheckCTS() {
    platform::Deadline deadline = platform::Deadline::After(kCtsWaitMs);
    for (;;) {
        if (com_.CtsVrij()) return true;
        if (deadline.Reached()) return false;
        ProcessMessagesBriefly(deadline.Remaining());
    }
}

// ---------------------------------------------------------------- locomotives

void MarklinLink::Loco(const LocoCommand& c, std::string& result) {
    uint8_t b = LocoByte(c.speed, c.light);
    MarklinZendLoc(b, static_cast<uint8_t>(c.address % 256));
    result.assign(1, static_cast<char>(b));
}

void MarklinLink::SendLoco(uint8_t eerste, uint8_t tweede) {
    if (com_.OnAlgTekst) com_.DoAlgTekst(aaLoc, SendText(eerste, tweede));
    com_.VerstuurBytes(std::string{static_cast<char>(eerste), static_cast<char>(tweede)});
    Set(MarklinLocVrijNa, locoFree_, com_.MarklinLocPauze);
}

void MarklinLink::MarklinZendLoc(uint8_t eerste, uint8_t tweede) {
    bool canNow = com_.SysteemAan && CheckCTS() && RemainingUs(locoFree_) == 0;
    if (canNow && MarklinAchtergehouden.empty()) {
        SendLoco(eerste, tweede);
        return;
    }
    HoldBack(MarklinAchtergehouden, eerste, tweede);
    if (canNow) MarklinVerstuurAchtergehouden();
}

bool MarklinLink::MarklinVerstuurAchtergehouden(bool wachten) {
    if (MarklinAchtergehouden.empty()) return false;
    if (!com_.SysteemAan || !com_.CtsVrij()) return false;
    if (wachten)
        Await(locoFree_);
    else if (RemainingUs(locoFree_) > 0)
        return false;
    std::string command = MarklinAchtergehouden.front();
    MarklinAchtergehouden.pop_front();
    SendLoco(static_cast<uint8_t>(command[0]), static_cast<uint8_t>(command[1]));
    return true;
}

void MarklinLink::Drain(const std::function<bool()>&) {
    const platform::Deadline limit = platform::Deadline::After(kDrainMs);
    while (!MarklinAchtergehouden.empty() && !limit.Reached() && com_.SysteemAan)
        if (!MarklinVerstuurAchtergehouden(true)) platform::Sleep(5);
}

// ---------------------------------------------------------------- power

bool MarklinLink::PowerOn() {
    if (com_.SysteemAan) return true;
    if (!CheckCTS()) return false;
    com_.SysteemAan = true;
    com_.VerstuurBytes(std::string(1, static_cast<char>(kPowerOn)));
    Set(MarklinLocVrijNa, locoFree_, kLocoAfterOnMs);
    Set(MarklinStopVrijNa, stopFree_, kStopAfterOnMs);
    return true;
}

void MarklinLink::PowerOff() {
    if (!com_.SysteemAan) return;
    // Locomotive commands still held back were given before the power-off:
    // they go out first, in order, instead of being lost with the power.
    Drain({});
    com_.SysteemAan = false;
    Await(locoFree_);
    Await(stopFree_);
    if (com_.CtsVrij()) com_.VerstuurBytes(std::string(1, static_cast<char>(kPowerOff)));
    Set(MarklinLocVrijNa, locoFree_, com_.MarklinLocPauze);
    Set(MarklinStopVrijNa, stopFree_, com_.MarklinStopPauze);
}

// ---------------------------------------------------------------- feedback

void MarklinLink::Feedback(const FeedbackRequest& r, std::string& result) {
    int answerBytes = 0;
    std::string request = ReadRequest(r.address, r.flag1, answerBytes);
    if (request.empty()) return;
    com_.PurgeBuffers(true, false);
    if (!CheckCTS()) return;
    com_.VerstuurBytes(request);
    com_.ReadText(result, answerBytes);
}

} // namespace command_station::marklin
