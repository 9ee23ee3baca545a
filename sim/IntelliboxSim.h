// A simulated Intellibox / TWIN-Center: IntelliboxModel behind the shared transport (a
// pseudo-terminal or an in-process line). The rate the PC set is read from the line for every
// chunk received, so the interface hears the PC only while the PC's rate matches its own (the
// record marks the bytes it did not hear), and its answers are paced at its rate.
#pragma once

#include "sim/IntelliboxModel.h"
#include "sim/Transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class IntelliboxSim final : public Simulator<IntelliboxModel> {
  public:
    explicit IntelliboxSim(IBMode mode = IBMode::Mixed, unsigned baud = 2400,
                           Wire wire = Wire::Pty);
    ~IntelliboxSim() override;

    unsigned Baud() { return Call<&IntelliboxModel::Baud>(); }
    void SetBaud(unsigned baud) { Call<&IntelliboxModel::SetBaud>(baud); }
    IBMode Mode() { return Call<&IntelliboxModel::Mode>(); }
    void SetMode(IBMode mode) { Call<&IntelliboxModel::SetMode>(mode); }
    bool Power() { return Call<&IntelliboxModel::Power>(); }
    std::map<uint16_t, IBLoco> Locos() { return Call<&IntelliboxModel::Locos>(); }
    std::map<uint8_t, uint8_t> P50Locos() { return Call<&IntelliboxModel::P50Locos>(); }
    void SetFeedback(uint8_t module, uint16_t inputs) {
        Call<&IntelliboxModel::SetFeedback>(module, inputs);
    }

    // Every command heard, in order (ClearRecords() clears it too).
    std::vector<IBCommand> Commands() {
        return Locked([&] { return commands_.Entries(); });
    }
    bool WaitForCommands(size_t n, int timeoutMs) {
        return WaitFor(timeoutMs, [&] { return commands_.Count() >= n; });
    }
    // Called on the simulator's thread for each command (not under any lock).
    void SetMonitor(std::function<void(const IBCommand&)> monitor);

    // Settings and fault switches (see IntelliboxModel).
    void SetProbeAnswerBytes(int n) { Call<&IntelliboxModel::SetProbeAnswerBytes>(n); }
    void SetModeProbeAnswer(std::optional<std::string> answer) {
        Call<&IntelliboxModel::SetModeProbeAnswer>(std::move(answer));
    }
    void SetReplyCode(uint8_t code) { Call<&IntelliboxModel::SetReplyCode>(code); }
    void SetNextReplyCode(uint8_t code) { Call<&IntelliboxModel::SetNextReplyCode>(code); }
    void SetSilent(bool silent) { Call<&IntelliboxModel::SetSilent>(silent); }
    void SetIgnoreBaudChange(bool on) { Call<&IntelliboxModel::SetIgnoreBaudChange>(on); }
    void SetEndlessText(size_t n); // ends a running endless answer when set to 0
    // Answers every chunk heard at a wrong rate with one noise byte, as a receiver framing
    // garbage might.
    void SetNoiseAtWrongRate(bool on);
    // Answers go out at the line rate (11 bit times a byte); off: at once.
    void SetPacing(bool on);

  private:
    std::function<void()> Input(const std::string& bytes, const LineSettings& line,
                                uint64_t nowUs) override;
    bool Hears(const LineSettings& line) const override { return line.baud == model_.Baud(); }
    void Sent(uint64_t nowUs) override { TopUpEndless(nowUs); }
    void ClearOwnRecords() override { commands_.Clear(); }
    // With the mutex held.
    void Queue(const std::string& bytes, unsigned baud, uint64_t nowUs);
    void TopUpEndless(uint64_t nowUs);

    Record<IBCommand> commands_;
    size_t endlessLeft_ = 0;
    unsigned endlessBaud_ = 0;
    bool noise_ = false;
    bool pacing_ = true;
    std::function<void(const IBCommand&)> monitor_;
};

} // namespace sim
