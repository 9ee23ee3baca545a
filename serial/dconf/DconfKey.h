// A folder of the dconf database as the key that stored port settings go
// into: text values as strings, integer values as 32-bit integers.
//
//   serial::TDconfKey key("/org/example/quorrin/port/");
//   port.StoreToRegistry(key);
//
// Reads come from the database files directly; writes go to the dconf
// service over the session bus, collected until Flush and then made in one
// change, all or none. Without a reachable session bus, Flush raises
// ESettingsStore naming the key.
#pragma once

#include "serial/SettingsStore.h"

#include <memory>
#include <string>

namespace serial {

class TDconfKey : public TSettingsKey {
  public:
    // `path` is a dconf folder: it starts and ends with "/", with no "//";
    // anything else raises std::invalid_argument.
    explicit TDconfKey(std::string path);
    ~TDconfKey() override;
    TDconfKey(const TDconfKey&) = delete;
    TDconfKey& operator=(const TDconfKey&) = delete;

    std::string Describe() const override;
    bool Exists() override;
    std::string ReadString(const std::string& name) override;
    int32_t ReadInteger(const std::string& name) override;
    void WriteString(const std::string& name, const std::string& value) override;
    void WriteInteger(const std::string& name, int32_t value) override;
    void Flush() override;

  private:
    struct State;
    std::string KeyOf(const std::string& name) const;
    std::unique_ptr<State> state_;
    std::string path_;
};

} // namespace serial
