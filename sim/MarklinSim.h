// A simulated Märklin interface: MarklinModel behind the shared transport (a
// pseudo-terminal or an in-process line, sim/Transport.h).
#pragma once

#include "sim/MarklinModel.h"
#include "sim/Transport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class MarklinSim final : public Simulator<MarklinModel> {
  public:
    explicit MarklinSim(Wire wire = Wire::Pty) : Simulator("MarklinSim", kRecordLimit, wire) {
        Start();
    }
    ~MarklinSim() override { Stop(); }

    bool Power() { return Call<&MarklinModel::Power>(); }
    void SetPower(bool on) { Call<&MarklinModel::SetPower>(on); }
    bool SetModule(unsigned n, uint16_t inputs) {
        return Call<&MarklinModel::SetModule>(n, inputs);
    }
    uint16_t Module(unsigned n) { return Call<&MarklinModel::Module>(n); }
    int LocoByte(uint8_t address) { return Call<&MarklinModel::LocoByte>(address); }
    // Every command since the last ClearRecords().
    std::vector<MarklinCommand> Commands() { return Call<&MarklinModel::Commands>(); }
    void SetSilent(bool silent) { Call<&MarklinModel::SetSilent>(silent); }

  private:
    std::function<void()> Input(const std::string& bytes, const LineSettings& line,
                                uint64_t nowUs) override {
        Answer(model_.Feed(bytes, line.baud, nowUs), nowUs);
        return {};
    }
    void ClearOwnRecords() override { model_.ClearCommands(); }
};

} // namespace sim
