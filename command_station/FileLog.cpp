// The component's file log: one line per transmitted byte string.
#include "command_station/MivoComm.h"

#include "platform/Tick.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#ifdef _WIN32
#include "platform/WinText.h"
#include <windows.h>
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace command_station {

namespace {

constexpr size_t kLogMaxBytes = 100;

#ifdef _WIN32
[[noreturn]] void RaiseLogError(const std::string& what) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

// %LOCALAPPDATA%\quorrin, made when missing (the user's own folder there).
std::string LogFolder() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (!local || !*local) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        RaiseLogError("no LOCALAPPDATA folder for the log");
    }
    const std::wstring folder = std::wstring(local) + L"\\quorrin";
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        RaiseLogError("mkdir " + platform::Utf8(folder));
    return platform::Utf8(folder);
}

#else
[[noreturn]] void RaiseLogError(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Creates every missing folder of `path` with mode 0700.
void CreateFolders(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) RaiseLogError("mkdir " + part);
    }
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    passwd* pw = getpwuid(geteuid());
    if (pw && pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
    errno = ENOENT;
    RaiseLogError("no home folder for the log");
}

// The log folder when no override is set.
std::string LogFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base =
        (state && state[0] == '/') ? std::string(state) : HomeFolder() + "/.local/state";
    return base + "/quorrin";
}

// Opens the private log folder without following a link and checks that
// nobody else can put entries into it.
int OpenPrivateFolder(const std::string& folder) {
    CreateFolders(folder);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) RaiseLogError("open " + folder);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        RaiseLogError("stat " + folder);
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        errno = EPERM;
        RaiseLogError("log folder " + folder + " is not private");
    }
    return fd;
}

void WriteAll(int fd, const std::string& data, const std::string& path) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            errno = e;
            RaiseLogError("write " + path);
        }
        done += static_cast<size_t>(n);
    }
}

#endif

} // namespace

std::string LogLine(uint32_t tick, const std::string& bytes) {
    std::string line = std::to_string(tick) + ": ";
    size_t n = std::min(bytes.size(), kLogMaxBytes);
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) line += '/';
        line += std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    return line;
}

// ---------------------------------------------------------------- file log

std::string TMivoCom::LogPath() {
    const char* forced = std::getenv("QUORRIN_VASKEL_LOG");
    if (forced && forced[0] != '\0') return forced;
    return LogFolder() + "/vaskel.log";
}

#ifdef _WIN32
void TMivoCom::LogNaarBestand(const std::string& bytes) {
    std::string line = LogLine(platform::GetTickCount(), bytes) + "\n";
    const std::string path = LogPath();
    // Only a file on a disk is written: not a pipe, a console or a device.
    HANDLE h = CreateFileW(platform::Wide(path).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) RaiseLogError("open " + path);
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        SetLastError(ERROR_INVALID_PARAMETER);
        RaiseLogError("log " + path + " is not a regular file");
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    const DWORD err = GetLastError();
    CloseHandle(h);
    if (!ok || written != line.size()) {
        SetLastError(ok ? ERROR_WRITE_FAULT : err);
        RaiseLogError("write " + path);
    }
}

#else
void TMivoCom::LogNaarBestand(const std::string& bytes) {
    // Non-blocking: a FIFO without a reader would otherwise hold the open
    // forever. Only a regular file is written (see below).
    constexpr int kFlags =
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    std::string line = LogLine(platform::GetTickCount(), bytes) + "\n";
    std::string path = LogPath();
    int fd;
    const char* forced = std::getenv("QUORRIN_VASKEL_LOG");
    if (forced && forced[0] != '\0') {
        fd = open(path.c_str(), kFlags, 0600);
    } else {
        std::string folder = LogFolder();
        int dir = OpenPrivateFolder(folder);
        fd = openat(dir, "vaskel.log", kFlags, 0600);
        int e = errno;
        close(dir);
        errno = e;
    }
    if (fd < 0) RaiseLogError("open " + path);
    struct stat st {};
    if (int e = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL) {
        close(fd);
        errno = e;
        RaiseLogError("log " + path + " is not a regular file");
    }
    WriteAll(fd, line, path);
    if (close(fd) != 0) RaiseLogError("close " + path);
}

#endif

} // namespace command_station
