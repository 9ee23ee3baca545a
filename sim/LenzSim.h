// A simulated Lenz computer interface with its command station: LenzModel behind the shared
// transport (a pseudo-terminal or an in-process line, sim/Transport.h), with the line's own
// faults (answers a byte at a time, garbage before every message).
#pragma once

#include "sim/LenzModel.h"
#include "sim/Transport.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

class LenzSim final : public Simulator<LenzModel> {
  public:
    explicit LenzSim(uint8_t versionByte = 0x36, Wire wire = Wire::Pty);
    ~LenzSim() override;

    // Runs `fn` on the model under the simulator's lock; messages it returns go on the line.
    void WithModel(const std::function<std::vector<std::string>(LenzModel&)>& fn);
    uint8_t VersionByte() { return Call<&LenzModel::VersionByte>(); }
    void SetVersionByte(uint8_t v) { Call<&LenzModel::SetVersionByte>(v); }
    LenzPower Power() { return Call<&LenzModel::Power>(); }
    bool Loco(uint16_t address, LenzLoco& out);
    uint64_t XorErrors() { return Call<&LenzModel::XorErrors>(); }

    uint8_t Inputs(uint8_t module) { return Call<&LenzModel::Inputs>(module); }
    void SetTurnoutModule(uint8_t module, bool turnout) {
        Call<&LenzModel::SetTurnoutModule>(module, turnout);
    }

    // Unsolicited traffic.
    void SetInputs(uint8_t module, uint8_t inputs);
    void TakeOver(uint16_t address);
    void HandEmergencyStop();
    void SwitchPower(bool on);

    // Fault switches, besides SetAnswerDelayMs() and SendUnsolicited().
    void SetSilent(bool on) { Call<&LenzModel::SetSilent>(on); }
    // One byte of the next answer is wrong.
    void CorruptNextAnswer() { Call<&LenzModel::CorruptNextAnswer>(); }
    // > 0: answers go out a byte at a time, this far apart.
    void SetChunkGapMs(int ms);
    // Sent before every message.
    void SetGarbage(const std::string& bytes);
    // Drops every n-th answer (0 = never).
    void SetDropEvery(int n) { Call<&LenzModel::SetDropEvery>(n); }
    // Power broadcasts fewer than usual.
    void SetMissingBroadcasts(int n) { Call<&LenzModel::SetMissingBroadcasts>(n); }
    void ReportNext(LenzReport r) { Call<&LenzModel::ReportNext>(r); }
    void SetReportAlways(LenzReport r) { Call<&LenzModel::SetReportAlways>(r); }

  private:
    std::function<void()> Input(const std::string& bytes, const LineSettings& line,
                                uint64_t nowUs) override;
    // With the mutex held.
    void Queue(const std::vector<std::string>& messages, uint64_t earliestUs);

    uint64_t chunkGapUs_ = 0;
    std::string garbage_;
};

} // namespace sim
