// Where a port's settings can be kept: a section of an ini file, or an
// opened key of a typed key store (dconf on a Linux desktop). The port's
// StoreTo... / LoadFrom... operations speak only these interfaces, so a
// store that pulls in a library lives in a target of its own.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace serial {

// A store could not do what was asked. The message names the file or the
// store (and the section and value where one is involved); OsErrorCode() is
// the errno behind it, -1 when there is none. The port turns it into
// EComPort 16 (storing) or 17 (loading).
class ESettingsStore : public std::runtime_error {
  public:
    explicit ESettingsStore(const std::string& what, int osErrorCode = -1)
        : std::runtime_error(what), osErrorCode_(osErrorCode) {}
    int OsErrorCode() const { return osErrorCode_; }

  private:
    int osErrorCode_;
};

// Named text and integer values in named sections. Section and value names
// compare without regard to ASCII case, as ini files always have.
class TCustomIniFile {
  public:
    virtual ~TCustomIniFile() = default;

    // Where the values live, for messages.
    virtual std::string FileName() const = 0;
    virtual bool SectionExists(const std::string& section) = 0;
    // `def` when the value is absent.
    virtual std::string ReadString(const std::string& section, const std::string& ident,
                                   const std::string& def) = 0;
    // `def` when the value is absent; raises ESettingsStore when the text is
    // not a 32-bit decimal number.
    virtual int32_t ReadInteger(const std::string& section, const std::string& ident,
                                int32_t def) = 0;
    virtual void WriteString(const std::string& section, const std::string& ident,
                             const std::string& value) = 0;
    virtual void WriteInteger(const std::string& section, const std::string& ident,
                              int32_t value) = 0;
    // Makes the writes so far durable (all of them or, on failure, none).
    virtual void UpdateFile() = 0;
};

// An opened key of a typed store: text values and 32-bit integer values by
// name.
class TSettingsKey {
  public:
    virtual ~TSettingsKey() = default;

    // The store and the key, for messages ("dconf key /org/example/port/").
    virtual std::string Describe() const = 0;
    // True when the key holds at least one value.
    virtual bool Exists() = 0;
    // An absent value reads as ""; a value that is not text raises
    // ESettingsStore.
    virtual std::string ReadString(const std::string& name) = 0;
    // An absent value or one that is not a 32-bit integer raises
    // ESettingsStore.
    virtual int32_t ReadInteger(const std::string& name) = 0;
    virtual void WriteString(const std::string& name, const std::string& value) = 0;
    virtual void WriteInteger(const std::string& name, int32_t value) = 0;
    // Makes the writes so far durable (all of them or, on failure, none).
    virtual void Flush() = 0;
};

} // namespace serial
