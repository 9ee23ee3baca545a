// Translation on Windows: the project's own catalogues (locale/<lang>/
// LC_MESSAGES/<domain>.mo beside the program) read by MoCatalogue. The
// language is LANGUAGE, else LANG (as on Linux, so a shell or a test can
// choose), else the user's locale (GetUserDefaultLocaleName).
#ifdef _WIN32

#include "platform/MoCatalogue.h"
#include "platform/Translate.h"
#include "platform/WinText.h"

#include <windows.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {
namespace {

std::mutex g_mutex;
std::string g_localeDir;
std::vector<std::string> g_languages;
std::vector<std::string> g_domains{"default"};
std::map<std::string, std::unique_ptr<MoCatalogue>> g_catalogues; // by domain
bool g_initialised = false;

std::string Wish() {
    for (const char* name : {"LANGUAGE", "LANG"})
        if (const char* v = std::getenv(name); v && *v) return v;
    wchar_t buf[LOCALE_NAME_MAX_LENGTH] = {};
    if (GetUserDefaultLocaleName(buf, LOCALE_NAME_MAX_LENGTH) > 0)
        return LanguageFromLocaleName(Utf8(buf));
    return {};
}

// The first catalogue of `domain` found for the wished languages (mutex held).
const MoCatalogue* CatalogueLocked(const std::string& domain) {
    auto it = g_catalogues.find(domain);
    if (it != g_catalogues.end()) return it->second.get();
    std::unique_ptr<MoCatalogue> found;
    for (const auto& lang : g_languages) {
        std::string bytes;
        if (!ReadWholeFile(g_localeDir + "/" + lang + "/LC_MESSAGES/" + domain + ".mo", bytes))
            continue;
        auto cat = std::make_unique<MoCatalogue>();
        if (cat->Parse(bytes)) {
            found = std::move(cat);
            break;
        }
    }
    const MoCatalogue* result = found.get();
    g_catalogues[domain] = std::move(found);
    return result;
}

void InitLocked(const std::string& programDir) {
    if (g_initialised) return;
    g_initialised = true;
    g_localeDir = (programDir.empty() ? ProgramDir() : programDir) + "/locale";
    g_languages = LanguageCandidates(Wish());
}

} // namespace

std::string ProgramDir() {
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return ".";
    buf.resize(n);
    const auto slash = buf.find_last_of(L"\\/");
    return slash == std::wstring::npos ? "." : Utf8(buf.substr(0, slash));
}

void InitTranslation(const std::string& programDir) {
    std::lock_guard lock(g_mutex);
    InitLocked(programDir);
}

void AddTranslationDomain(const std::string& domain) {
    std::lock_guard lock(g_mutex);
    for (const auto& d : g_domains)
        if (d == domain) return;
    g_domains.push_back(domain);
}

std::string Translate(const std::string& text) {
    std::lock_guard lock(g_mutex);
    InitLocked({});
    if (text.empty()) return text;
    for (const auto& d : g_domains)
        if (const MoCatalogue* cat = CatalogueLocked(d))
            if (const std::string* found = cat->Find(text)) return *found;
    return text;
}

std::string LocaleDir() {
    std::lock_guard lock(g_mutex);
    InitLocked({});
    return g_localeDir;
}

} // namespace platform

#endif
