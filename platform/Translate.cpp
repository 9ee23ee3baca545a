#include "platform/Translate.h"

// Windows has no GNU gettext: TranslateWin32.cpp reads the catalogues there.
#ifndef _WIN32

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <libintl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

std::mutex g_mutex;
std::string g_localeDir;
std::vector<std::string> g_domains; // searched after "default"
bool g_initialised = false;         // the catalogues are bound
bool g_localeSet = false;

bool IsFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Changes the process's locale and environment, which other threads may be
// reading at the same moment: only InitTranslation does this, on the main
// thread before others start.
void SetLocaleLocked() {
    if (g_localeSet) return;
    g_localeSet = true;
    // The language comes from LANG (else the system's locale); a locale that
    // is not installed leaves LC_MESSAGES at "C", so LANGUAGE carries the
    // wish to gettext as well: full name first, then its first two letters.
    std::setlocale(LC_ALL, "");
    if (const char* lang = std::getenv("LANG"); lang && *lang && !std::getenv("LANGUAGE")) {
        const std::string full(lang, std::strcspn(lang, ".")); // without the encoding
        std::string wish = full;
        if (full.size() > 2) {
            wish += ':';
            wish.append(full, 0, 2);
        }
        setenv("LANGUAGE", wish.c_str(), 0);
        if (std::string(std::setlocale(LC_MESSAGES, nullptr)) == "C")
            std::setlocale(LC_MESSAGES, "C.UTF-8");
    }
}

// Binds the catalogues; safe on any thread.
void InitLocked(const std::string& programDir) {
    if (g_initialised) return;
    g_initialised = true;
    // Beside the program in a build tree; in share/quorrin/locale of the
    // prefix once installed (bin/ and share/ side by side).
    const std::string dir = programDir.empty() ? ProgramDir() : programDir;
    g_localeDir = dir + "/locale";
    // (A folder: /usr/bin/locale is a program.)
    if (!IsFolder(g_localeDir) && IsFolder(dir + "/../share/quorrin/locale"))
        g_localeDir = dir + "/../share/quorrin/locale";
    bindtextdomain("default", g_localeDir.c_str());
    bind_textdomain_codeset("default", "UTF-8");
    textdomain("default");
    for (const auto& d : g_domains) {
        bindtextdomain(d.c_str(), g_localeDir.c_str());
        bind_textdomain_codeset(d.c_str(), "UTF-8");
    }
}

} // namespace

std::string ProgramDir() {
    std::string buf(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return ".";
    buf.resize(static_cast<size_t>(n));
    auto slash = buf.rfind('/');
    return slash == std::string::npos ? "." : buf.substr(0, slash);
}

void InitTranslation(const std::string& programDir) {
    std::lock_guard lock(g_mutex);
    SetLocaleLocked();
    InitLocked(programDir);
}

void AddTranslationDomain(const std::string& domain) {
    std::lock_guard lock(g_mutex);
    for (const auto& d : g_domains)
        if (d == domain) return;
    g_domains.push_back(domain);
    if (g_initialised) {
        bindtextdomain(domain.c_str(), g_localeDir.c_str());
        bind_textdomain_codeset(domain.c_str(), "UTF-8");
    }
}

std::string Translate(const std::string& text) {
    std::lock_guard lock(g_mutex);
    InitLocked({});
    if (text.empty()) return text;
    const char* found = dgettext("default", text.c_str());
    if (found != text.c_str() && text != found) return found;
    for (const auto& d : g_domains) {
        found = dgettext(d.c_str(), text.c_str());
        if (found != text.c_str() && text != found) return found;
    }
    return text;
}

std::string LocaleDir() {
    std::lock_guard lock(g_mutex);
    InitLocked({});
    return g_localeDir;
}

} // namespace platform

#endif
