// Message translation through GNU gettext.
//
// InitTranslation() binds the "default" text domain to the "locale" folder
// beside the program; layers add their own domains (the serial layer adds
// "cport"). Translate() looks a text up in the default domain first, then in
// every added domain, and returns the text unchanged when no catalogue has it.
#pragma once

#include <string>

namespace platform {

// `programDir` is the folder of the program file; empty takes the folder of
// /proc/self/exe. Only the first call takes effect: a later call, also one
// with another folder, changes nothing (the catalogues stay bound where the
// first call put them). It sets the process's locale
// from LANG (and the LANGUAGE wish), so the program calls it on its main
// thread before other threads start; until then texts stay untranslated.
// Translate() never changes the locale or the environment itself.
void InitTranslation(const std::string& programDir = {});
// Adds a domain to those searched (bound to the same locale folder).
void AddTranslationDomain(const std::string& domain);
std::string Translate(const std::string& text);
// The folder the catalogues are looked up in.
std::string LocaleDir();
// The folder of the running program file.
std::string ProgramDir();

} // namespace platform
