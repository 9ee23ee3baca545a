// A simulated serial card in a rack: KaartModel behind the shared transport (a
// pseudo-terminal or an in-process line, sim/Transport.h).
// The card hears the PC only at its own rate; the record marks the bytes it took for noise.
#pragma once

#include "sim/KaartModel.h"
#include "sim/Transport.h"

#include <cstdint>
#include <string>

namespace sim {

class KaartSim final : public Simulator<KaartModel> {
  public:
    explicit KaartSim(Wire wire = Wire::Pty) : Simulator("KaartSim", kRecordLimit, wire) {
        Start();
    }
    ~KaartSim() override { Stop(); }

    unsigned Baud() { return Call<&KaartModel::Baud>(); }
    int LastConfig() { return Call<&KaartModel::LastConfig>(); }
    uint64_t Requests() { return Call<&KaartModel::Requests>(); }
    uint64_t Probes() { return Call<&KaartModel::Probes>(); }
    uint64_t BytesDropped() { return Call<&KaartModel::BytesDropped>(); }
    void SetModule(uint8_t module, uint8_t inputs) { Call<&KaartModel::SetModule>(module, inputs); }
    uint8_t Module(uint8_t module) { return Call<&KaartModel::Module>(module); }
    // Back to 9600 baud, as after the DTR pulse.
    void Reset() {
        Call<&KaartModel::Reset>();
        Wake(); // a probe that was due is dropped
    }
    void SetSilent(bool on) { Call<&KaartModel::SetSilent>(on); }
    void SetWrongEcho(int value) { Call<&KaartModel::SetWrongEcho>(value); }
    void SetOneByteAnswers(bool on) { Call<&KaartModel::SetOneByteAnswers>(on); }

  private:
    std::function<void()> Input(const std::string& bytes, const LineSettings& line,
                                uint64_t nowUs) override {
        Answer(model_.Feed(bytes, line.baud, nowUs), nowUs);
        return {};
    }
    bool Hears(const LineSettings& line) const override { return model_.Hears(line.baud); }
    uint64_t NextStepUs() const override { return model_.NextDueUs(); }
    void Step(uint64_t nowUs) override { Answer(model_.Advance(nowUs), nowUs); }
};

} // namespace sim
