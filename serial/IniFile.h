// An ini file on disk as a TCustomIniFile.
//
// The file is read at the first use (after construction, and again after
// each UpdateFile); reading a file that does not exist, is no regular file,
// cannot be read or is not text raises ESettingsStore naming the file.
// Writes collect in memory. UpdateFile takes the file as it is on disk then
// (another program may have saved since it was read), changes only the lines
// of the values written (a value the section lacks follows its last value, a
// new section goes to the end) and keeps every other byte: other sections and
// values, comments, blank lines, spacing. It writes the result to a temporary
// file beside it and renames that over the old one, so the file on disk is
// always either the old or the new one, never half of each. Saves of the
// same file wait for each other: each holds a lock file beside it
// (".<name>.lock") from that last read to the rename, and removes the
// temporary files a killed save left (".<name>~XXXXXX"). A file with lines
// that are neither a section, a value nor a comment is not rewritten at all
// (writing raises instead).
#pragma once

#include "serial/SettingsStore.h"

#include <memory>
#include <optional>
#include <string>

namespace serial {

class TIniFile : public TCustomIniFile {
  public:
    explicit TIniFile(std::string fileName);
    ~TIniFile() override;
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    std::string FileName() const override { return fileName_; }
    bool SectionExists(const std::string& section) override;
    std::string ReadString(const std::string& section, const std::string& ident,
                           const std::string& def) override;
    int32_t ReadInteger(const std::string& section, const std::string& ident, int32_t def) override;
    void WriteString(const std::string& section, const std::string& ident,
                     const std::string& value) override;
    void WriteInteger(const std::string& section, const std::string& ident, int32_t value) override;
    void UpdateFile() override;

    // Larger files are refused: an ini file that size is a wrong path.
    static constexpr long kMaxFileSize = 16L * 1024 * 1024;
    // How long a save waits for another one of the same file to end.
    static constexpr int kLockWaitMs = 5000;

  private:
    struct Content;
    Content& Read(bool forWriting);
    // The value, none when absent; raises when it is given more than once.
    std::optional<std::string> Value(const std::string& section, const std::string& ident);
    std::string fileName_;
    std::unique_ptr<Content> content_;
};

} // namespace serial
