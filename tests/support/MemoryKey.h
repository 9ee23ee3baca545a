// A key store in memory, for the rules of storing and loading without a
// desktop session: typed values by name, a failure switch, and a record of
// the names in the order they were written.
#pragma once

#include "serial/SettingsStore.h"

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace testsupport {

class MemoryKey : public serial::TSettingsKey {
  public:
    using Value = std::variant<std::string, int32_t>;

    std::string Describe() const override { return "memory key /test/"; }
    bool Exists() override { return !values.empty(); }
    std::string ReadString(const std::string& name) override {
        auto it = values.find(name);
        if (it == values.end()) return {};
        if (auto* s = std::get_if<std::string>(&it->second)) return *s;
        throw serial::ESettingsStore(Describe() + ": " + name + " is not text");
    }
    int32_t ReadInteger(const std::string& name) override {
        auto it = values.find(name);
        if (it == values.end()) throw serial::ESettingsStore(Describe() + ": " + name + " is missing");
        if (auto* i = std::get_if<int32_t>(&it->second)) return *i;
        throw serial::ESettingsStore(Describe() + ": " + name + " is not an integer");
    }
    void WriteString(const std::string& name, const std::string& value) override {
        Written(name, value);
    }
    void WriteInteger(const std::string& name, int32_t value) override { Written(name, value); }
    void Flush() override {
        if (failFlush) throw serial::ESettingsStore(Describe() + ": cannot write: switched off", 5);
        ++flushes;
    }

    std::map<std::string, Value> values;
    std::vector<std::string> order; // every name written, in order
    bool failFlush = false;
    int flushes = 0;

  private:
    void Written(const std::string& name, Value v) {
        values[name] = std::move(v);
        order.push_back(name);
    }
};

} // namespace testsupport
