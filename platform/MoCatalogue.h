// A reader of compiled message catalogues (.mo files, either byte order),
// for platforms without GNU gettext (Windows). Only the plain entries are
// used: an original with plural forms is looked up by its singular.
#pragma once

#include <map>
#include <vector>
#include <string>

namespace platform {

class MoCatalogue {
  public:
    // Parses the bytes of a .mo file; false (and an empty catalogue) when
    // they are not one: wrong magic, or a table or string outside the bytes.
    bool Parse(const std::string& bytes);
    // The translation of `text`, or null when the catalogue has none (an
    // empty translation counts as none, as for gettext).
    const std::string* Find(const std::string& text) const;
    size_t Size() const { return entries_.size(); }

  private:
    std::map<std::string, std::string> entries_;
};

// The catalogue names to try for a language wish such as "nl_NL.UTF-8" or
// the colon list "nl_NL:de": each name without its encoding and modifier,
// then its language alone ("nl_NL", "nl", "de"). "C" and "POSIX" stand for
// no translation.
std::string LanguageFromLocaleName(const std::string& windowsName);
std::vector<std::string> LanguageCandidates(const std::string& wish);

} // namespace platform
