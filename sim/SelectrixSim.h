// A simulated Selectrix central unit with its PC interface: SelectrixModel behind the shared
// transport (a pseudo-terminal or an in-process line, sim/Transport.h). The code under test
// opens DevicePath() like any serial device and talks the real bytes to it.
#pragma once

#include "sim/SelectrixModel.h"
#include "sim/Transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace sim {

class SelectrixSim final : public Simulator<SelectrixModel> {
  public:
    // Opens the line and starts serving; throws std::runtime_error on failure. The records keep
    // the newest `recordLimit` bytes (0: all; the counts stay exact).
    explicit SelectrixSim(size_t recordLimit = kRecordLimit, Wire wire = Wire::Pty);
    ~SelectrixSim() override;

    uint8_t Bus(uint8_t addr);
    void SetBus(uint8_t addr, uint8_t value) { Call<&SelectrixModel::SetBus>(addr, value); }
    bool TrackPower() { return Call<&SelectrixModel::TrackPower>(); }
    void SetTrackPower(bool on) { Call<&SelectrixModel::SetTrackPower>(on); } // at the unit
    void SetFeedback(uint8_t addr, uint8_t inputs) {
        Call<&SelectrixModel::SetFeedback>(addr, inputs);
    }

    // The decoder on the programming track.
    void SetProgrammingDecoder(uint8_t reg104, uint8_t reg105) {
        Call<&SelectrixModel::SetProgrammingDecoder>(reg104, reg105);
    }
    std::pair<uint8_t, uint8_t> ProgrammingDecoder();
    void SetProgrammerTiming(const ProgrammerTiming& timing) {
        Call<&SelectrixModel::SetProgrammerTiming>(timing);
    }

    // Called on the simulator's thread after each complete request (not under any lock, so it
    // may call back into the simulator).
    void SetMonitor(std::function<void(const RequestEvent&)> monitor);

    // Fault switches, besides SetAnswerDelayMs() and SendUnsolicited().
    // Answers nothing (writes still reach the bus).
    void SetSilent(bool silent) { Call<&SelectrixModel::SetSilent>(silent); }
    // Answers the inverted byte.
    void SetCorruptAnswers(bool on) { Call<&SelectrixModel::SetCorruptAnswers>(on); }
    // Drops every n-th answer (0 = never).
    void SetDropEvery(int n) { Call<&SelectrixModel::SetDropEvery>(n); }
    // Too many bytes per answer.
    void SetExtraAnswerBytes(const std::string& extra) {
        Call<&SelectrixModel::SetExtraAnswerBytes>(extra);
    }
    // 109 shows bit 6: in use elsewhere.
    void SetProgrammerBusy(bool busy) { Call<&SelectrixModel::SetProgrammerBusy>(busy); }
    // Claim, load and write never finish.
    void SetProgrammerNeverReady(bool on) { Call<&SelectrixModel::SetProgrammerNeverReady>(on); }

  private:
    std::function<void()> Input(const std::string& bytes, const LineSettings& line,
                                uint64_t nowUs) override;

    std::function<void(const RequestEvent&)> monitor_;
};

} // namespace sim
