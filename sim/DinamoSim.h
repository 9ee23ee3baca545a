// A simulated DINAMO on its PC link: DinamoModel behind the shared transport (a
// pseudo-terminal or an in-process line, sim/Transport.h).
// The code under test opens DevicePath() like any serial device.
#pragma once

#include "sim/DinamoModel.h"
#include "sim/Transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

class DinamoSim final : public Simulator<DinamoModel> {
  public:
    // Opens the line and starts serving; throws std::runtime_error on failure. The records keep
    // the newest `recordLimit` bytes and frames (0: all; the counts stay exact).
    explicit DinamoSim(size_t recordLimit = kRecordLimit, Wire wire = Wire::Pty);
    ~DinamoSim() override;

    // Reports to send, one per answer (see DinamoModel).
    void QueueOccupancy(uint8_t input, bool occupied) {
        Call<&DinamoModel::QueueOccupancy>(input, occupied);
    }
    void QueueMagnet(uint8_t magnet, bool state) { Call<&DinamoModel::QueueMagnet>(magnet, state); }
    void QueueBlock(uint8_t block, uint8_t value) { Call<&DinamoModel::QueueBlock>(block, value); }
    void QueueRaw(const std::string& data) { Call<&DinamoModel::QueueRaw>(data); }
    size_t ReportsWaiting() { return Call<&DinamoModel::ReportsWaiting>(); }

    // Switches, besides SetAnswerDelayMs() and SendUnsolicited().
    void SetHold(bool on) { Call<&DinamoModel::SetHold>(on); }
    void SetFault(bool on, int resetsToClear = 1) {
        Call<&DinamoModel::SetFault>(on, resetsToClear);
    }
    void SetBadCheckNext() { Call<&DinamoModel::SetBadCheckNext>(); }
    void SetSilent(bool on) { Call<&DinamoModel::SetSilent>(on); }
    bool Hold() { return Call<&DinamoModel::Hold>(); }
    bool Fault() { return Call<&DinamoModel::Fault>(); }

    std::vector<std::string> Commands() { return Call<&DinamoModel::Commands>(); }
    uint64_t ResetsReceived() { return Call<&DinamoModel::ResetsReceived>(); }
    uint64_t FramesRejected() { return Call<&DinamoModel::FramesRejected>(); }
    uint64_t BytesSkipped() { return Call<&DinamoModel::BytesSkipped>(); }
    // Every valid frame from the PC, with what was answered (ClearRecords() clears it too).
    std::vector<DinamoFrameEvent> Frames() {
        return Locked([&] { return frames_.Entries(); });
    }
    // Blocks (no spinning) until at least n frames came since the last clear, or the timeout
    // passed.
    bool WaitForFrames(size_t n, int timeoutMs) {
        return WaitFor(timeoutMs, [&] { return frames_.Count() >= n; });
    }

    // Bits per second the PC set, read from the line (0 when unknown), and its stop bits.
    unsigned Baud() { return Line().baud; }
    bool TwoStopBits() { return Line().twoStopBits; }

    // Called on the simulator's thread for each valid frame (not under any lock).
    void SetMonitor(std::function<void(const DinamoFrameEvent&)> monitor);

  private:
    std::function<void()> Input(const std::string& bytes, const LineSettings& line,
                                uint64_t nowUs) override;
    void ClearOwnRecords() override { frames_.Clear(); }

    Record<DinamoFrameEvent> frames_;
    std::function<void(const DinamoFrameEvent&)> monitor_;
};

} // namespace sim
