// TIniFile: the file is kept as the bytes it was read as, and one scanner
// of its lines serves both sides. A look-up walks the text in place (no copy
// per line, no table of entries); a save walks the file as it is now and
// copies it, changing only the lines of the values written.
//
// The lines are read as ini files always were: a section header is "[name]"
// (anything after the "]" is ignored), a value "key=value", a comment starts
// with ";" or "#"; spaces and tabs around names and values do not count,
// names compare without regard to ASCII case, and a line ends in LF, CR LF or
// a lone CR.
#include "serial/IniFile.h"

#include "serial/ComSettings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <string_view>
#include <thread>
#include <vector>
#ifdef _WIN32
#include "platform/WinText.h"
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace serial {

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// The file as read: its bytes, and what a save needs to know of them.
struct IniText {
    std::string data;
    size_t start = 0;  // the first byte after a byte-order mark
    bool crlf = false; // the file's lines end in CR LF (written on Windows)
    // The first line that is neither a section, a value nor a comment (0: none).
    int unkeptLine = 0;
    std::string unkeptText;
};

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int CompareNames(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(Lower(a[i]));
        const auto y = static_cast<unsigned char>(Lower(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareNames(a, b) == 0;
}

// A value's section and name, owned or viewed.
struct ValueName {
    std::string section, ident;
};
struct ValueNameView {
    std::string_view section, ident;
};
struct ValueNameLess {
    using is_transparent = void;
    template <typename A, typename B> bool operator()(const A& a, const B& b) const {
        const int s = CompareNames(a.section, b.section);
        return s != 0 ? s < 0 : CompareNames(a.ident, b.ident) < 0;
    }
};

std::string Quoted(const std::string& text) {
    // Appended piece by piece: GCC 12 at -O3 misreads "x" + temporary as an
    // overlapping copy (-Wrestrict).
    constexpr size_t kShown = 40;
    std::string q(1, '"');
    q += text.substr(0, kShown);
    q += '"';
    if (text.size() > kShown) {
        q.insert(q.size() - 1, "...");
        q += " (";
        q += std::to_string(text.size());
        q += " bytes)";
    }
    return q;
}

// The system's words for an error number (errno; a Win32 code on Windows).
std::string ErrorText(int err) {
#ifdef _WIN32
    return platform::SystemErrorText(static_cast<unsigned long>(err));
#else
    return std::strerror(err);
#endif
}

[[noreturn]] void Fail(const std::string& file, const std::string& what, int err = -1) {
    std::string message = file + ": " + what;
    if (err > 0) message += ": " + ErrorText(err);
    throw ESettingsStore(message, err);
}

[[noreturn]] void FailUnkept(const std::string& file, const IniText& text) {
    Fail(file, "line " + std::to_string(text.unkeptLine) + " (" + Quoted(text.unkeptText) +
                   ") is neither a section, a value nor a comment; the file is left as it is");
}

// ---------------------------------------------------------------- lines

enum class LineKind { Blank, Comment, Section, Entry, Unkept };

struct Line {
    size_t begin = 0; // the first byte
    size_t end = 0;   // the line end (or the end of the text)
    size_t next = 0;  // the first byte of the next line
    LineKind kind = LineKind::Blank;
    std::string_view name;               // of the section, or the key
    size_t valueBegin = 0, valueEnd = 0; // of an entry
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

size_t FindIn(std::string_view text, size_t from, size_t to, char c) {
    const void* at = std::memchr(text.data() + from, c, to - from);
    return at ? static_cast<size_t>(static_cast<const char*>(at) - text.data()) : to;
}

Line ScanLine(std::string_view text, size_t at) {
    Line line;
    line.begin = at;
    size_t end = at;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r')
        ++end;
    line.end = end;
    if (end == text.size())
        line.next = end;
    else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
        line.next = end + 2;
    else
        line.next = end + 1;

    size_t b = at;
    while (b < end && IsBlank(text[b]))
        ++b;
    if (b == end) return line;
    if (text[b] == ';' || text[b] == '#') {
        line.kind = LineKind::Comment;
        return line;
    }
    line.kind = LineKind::Unkept;
    if (text[b] == '[') {
        size_t n = b + 1;
        while (n < end && IsBlank(text[n]))
            ++n;
        const size_t close = FindIn(text, n, end, ']');
        if (close == end) return line;
        size_t e = close;
        while (e > n && IsBlank(text[e - 1]))
            --e;
        line.kind = LineKind::Section;
        line.name = text.substr(n, e - n);
        return line;
    }
    const size_t eq = FindIn(text, b, end, '=');
    if (eq == end || eq == b) return line; // no value, or no key
    size_t keyEnd = eq;
    while (keyEnd > b && IsBlank(text[keyEnd - 1]))
        --keyEnd;
    size_t vb = eq + 1;
    while (vb < end && IsBlank(text[vb]))
        ++vb;
    size_t ve = end;
    while (ve > vb && IsBlank(text[ve - 1]))
        --ve;
    line.kind = LineKind::Entry;
    line.name = text.substr(b, keyEnd - b);
    line.valueBegin = vb;
    line.valueEnd = ve;
    return line;
}

// Calls f(line, section) for every line, with the name of the section the
// line is in ("" before the first header), until f returns false.
template <typename F> void ForEachLine(const IniText& text, F&& f) {
    const std::string_view data = text.data;
    std::string_view section;
    for (size_t at = text.start; at < data.size();) {
        const Line line = ScanLine(data, at);
        if (line.kind == LineKind::Section) section = line.name;
        if (!f(line, section)) return;
        at = line.next;
    }
}

// ---------------------------------------------------------------- reading

// Control characters other than white space mean the file is no text; a
// rewrite could not keep what it holds. DEL (127) is text: a stored
// character setting writes it as itself.
void CheckText(const std::string& file, const std::string& data) {
    for (size_t i = 0; i < data.size(); ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        const bool space = b == '\t' || b == '\n' || b == '\r' || b == '\f' || b == '\v';
        if (b < 0x20 && !space) {
            static const char kHex[] = "0123456789ABCDEF";
            Fail(file, std::string("is not a text file (byte 0x") + kHex[b >> 4] + kHex[b & 15] +
                           " at offset " + std::to_string(i) + ")");
        }
    }
}

#ifdef _WIN32
// The bytes of `path`; messages name `file`.
std::string ReadWholeFile(const std::string& path, const std::string& file, bool& missing) {
    missing = false;
    const std::wstring wide = platform::Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const int err = static_cast<int>(GetLastError());
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
            missing = true;
            return {};
        }
        Fail(file, "cannot be read", err);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) Fail(file, "is a directory", ERROR_DIRECTORY);
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail(file, "cannot be read", static_cast<int>(GetLastError()));
    struct Closer {
        HANDLE h;
        ~Closer() { CloseHandle(h); }
    } closer{h};
    if (GetFileType(h) != FILE_TYPE_DISK) Fail(file, "is not a regular file");
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size)) Fail(file, "cannot be read", static_cast<int>(GetLastError()));
    if (size.QuadPart > TIniFile::kMaxFileSize)
        Fail(file, "is larger than " + std::to_string(TIniFile::kMaxFileSize) + " bytes");
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    size_t got = 0;
    while (got < data.size()) {
        DWORD n = 0;
        if (!ReadFile(h, data.data() + got, static_cast<DWORD>(data.size() - got), &n, nullptr))
            Fail(file, "cannot be read", static_cast<int>(GetLastError()));
        if (n == 0) break; // shrank meanwhile
        got += n;
    }
    data.resize(got);
    return data;
}

#else
// The bytes of `path`; messages name `file`.
std::string ReadWholeFile(const std::string& path, const std::string& file, bool& missing) {
    missing = false;
    // Non-blocking, so a FIFO or a device given as the file cannot hang us.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) {
            missing = true;
            return {};
        }
        Fail(file, "cannot be read", err);
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0) Fail(file, "cannot be read", errno);
    if (S_ISDIR(st.st_mode)) Fail(file, "is a directory", EISDIR);
    if (!S_ISREG(st.st_mode)) Fail(file, "is not a regular file");
    if (st.st_size > TIniFile::kMaxFileSize)
        Fail(file, "is larger than " + std::to_string(TIniFile::kMaxFileSize) + " bytes");
    std::string data(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(file, "cannot be read", errno);
        if (n == 0) break; // shrank meanwhile
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    return data;
}

#endif

IniText LoadText(const std::string& path, const std::string& file, bool missingIsEmpty) {
    IniText text;
    bool missing = false;
    text.data = ReadWholeFile(path, file, missing);
#ifdef _WIN32
    if (missing && !missingIsEmpty) Fail(file, "cannot be read", ERROR_FILE_NOT_FOUND);
#else
    if (missing && !missingIsEmpty) Fail(file, "cannot be read", ENOENT);
#endif
    CheckText(file, text.data);
    if (text.data.compare(0, kBom.size(), kBom) == 0) text.start = kBom.size();
    text.crlf = text.data.find("\r\n") != std::string::npos;
    int number = 0;
    ForEachLine(text, [&](const Line& line, std::string_view) {
        ++number;
        if (line.kind != LineKind::Unkept) return true;
        size_t b = line.begin, e = line.end;
        while (b < e && IsBlank(text.data[b]))
            ++b;
        while (e > b && IsBlank(text.data[e - 1]))
            --e;
        text.unkeptLine = number;
        text.unkeptText = text.data.substr(b, e - b);
        return false;
    });
    return text;
}

// ---------------------------------------------------------------- saving

struct Write {
    std::string section, ident, value;
};

bool EndsWithLineEnd(const std::string& out) {
    return !out.empty() && (out.back() == '\n' || out.back() == '\r');
}

// True when the last line of `out` (which ends in a line end) is blank.
bool EndsWithBlankLine(const std::string& out, size_t start) {
    size_t e = out.size();
    if (e > start && out[e - 1] == '\n') --e;
    if (e > start && out[e - 1] == '\r' && (e == out.size() || out[e] == '\n')) --e;
    size_t b = e;
    while (b > start && out[b - 1] != '\n' && out[b - 1] != '\r')
        --b;
    return std::all_of(out.begin() + static_cast<std::ptrdiff_t>(b),
                       out.begin() + static_cast<std::ptrdiff_t>(e), IsBlank);
}

// The file `text` with the written values in it: a value the file has is
// replaced where it first stands (its repeats are dropped), a value its
// section lacks follows the last value of the section's first part, a new
// section goes to the end after one blank line. All other bytes stay.
std::string Edited(const IniText& text, const std::vector<Write>& writes,
                   const std::map<ValueName, size_t, ValueNameLess>& index) {
    const std::string_view data = text.data;
    const std::string eol = text.crlf ? "\r\n" : "\n";

    // Where each written section's first part ends, and which written
    // values the file has.
    struct Section {
        bool seen = false;
        size_t insertAt = 0;
    };
    std::vector<std::pair<std::string_view, Section>> sections; // in the order first written
    auto sectionOf = [&](std::string_view name) -> Section* {
        for (auto& s : sections)
            if (SameName(s.first, name)) return &s.second;
        return nullptr;
    };
    for (const Write& w : writes)
        if (!sectionOf(w.section)) sections.push_back({w.section, Section{}});
    if (Section* top = sectionOf("")) { // values before any header: there from the start
        top->seen = true;
        top->insertAt = text.start;
    }
    std::vector<bool> present(writes.size(), false);
    Section* current = sectionOf("");
    ForEachLine(text, [&](const Line& line, std::string_view section) {
        if (line.kind == LineKind::Section) {
            current = sectionOf(line.name);
            if (current && current->seen)
                current = nullptr; // a later part of it
            else if (current) {
                current->seen = true;
                current->insertAt = line.next;
            }
        } else if (line.kind == LineKind::Entry) {
            if (current) current->insertAt = line.next;
            if (auto w = index.find(ValueNameView{section, line.name}); w != index.end())
                present[w->second] = true;
        }
        return true;
    });

    size_t extra = 0;
    for (const Write& w : writes)
        extra += w.section.size() + w.ident.size() + w.value.size() + 8;
    std::string out;
    out.reserve(data.size() + extra);
    out.append(data.substr(0, text.start));
    auto addMissing = [&](std::string_view section) {
        for (size_t i = 0; i < writes.size(); ++i)
            if (!present[i] && SameName(writes[i].section, section)) {
                out += writes[i].ident;
                out += '=';
                out += writes[i].value;
                out += eol;
            }
    };
    std::vector<std::pair<size_t, std::string_view>> inserts;
    for (const auto& s : sections)
        if (s.second.seen) inserts.push_back({s.second.insertAt, s.first});
    std::sort(inserts.begin(), inserts.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    size_t nextInsert = 0;
    auto insertAt = [&](size_t at) {
        for (; nextInsert < inserts.size() && inserts[nextInsert].first == at; ++nextInsert) {
            if (out.size() > text.start && !EndsWithLineEnd(out)) out += eol;
            addMissing(inserts[nextInsert].second);
        }
    };

    std::vector<bool> emitted(writes.size(), false);
    ForEachLine(text, [&](const Line& line, std::string_view section) {
        insertAt(line.begin);
        if (line.kind == LineKind::Entry) {
            if (auto w = index.find(ValueNameView{section, line.name}); w != index.end()) {
                const size_t i = w->second;
                if (emitted[i]) return true; // a repeat of a written value: dropped
                emitted[i] = true;
                out.append(data.substr(line.begin, line.valueBegin - line.begin));
                out += writes[i].value;
                out.append(data.substr(line.valueEnd, line.next - line.valueEnd));
                return true;
            }
        }
        out.append(data.substr(line.begin, line.next - line.begin));
        return true;
    });
    insertAt(data.size());

    for (const auto& s : sections) {
        if (s.second.seen) continue;
        if (out.size() > text.start) {
            if (!EndsWithLineEnd(out)) out += eol;
            if (!EndsWithBlankLine(out, text.start)) out += eol;
        }
        out += '[';
        out += s.first;
        out += ']';
        out += eol;
        addMissing(s.first);
    }
    return out;
}

#ifdef _WIN32
// The file the name stands for (a link is not looked through on Windows).
std::string TargetOf(const std::string& file) {
    return file;
}

// The longest file name `folder` takes.
size_t NameLimit(const std::string&) {
    return 255; // NTFS and FAT32 (long names) alike
}

// Removes the temporary files of saves that were killed before their
// rename: names of `prefix` and six letters or digits. Called with the lock
// held, so no save is writing one now.
void RemoveLeftovers(const std::string& folder, const std::string& prefix) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(platform::Wide(folder + prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = platform::Utf8(found.cFileName);
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0 ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        const bool random = std::all_of(
            name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), [](char c) {
                return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            });
        if (random) DeleteFileW(platform::Wide(folder + name).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The lock a save holds from reading the file again to the rename: the lock
// file opened unshared, which removes itself when closed (also when the
// program is killed).
class SaveLock {
  public:
    SaveLock(const std::string& file, std::string path) : path_(std::move(path)) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(TIniFile::kLockWaitMs);
        for (;;) {
            handle_ = CreateFileW(platform::Wide(path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            if (handle_ != INVALID_HANDLE_VALUE) return;
            const int err = static_cast<int>(GetLastError());
            if (err != ERROR_SHARING_VIOLATION && err != ERROR_ACCESS_DENIED)
                Fail(file, "cannot get a temporary file beside it", err);
            if (Clock::now() >= deadline)
                Fail(file, "is being saved by another program (it holds " + path_ +
                               "); nothing was saved, try again");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~SaveLock() { CloseHandle(handle_); }
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;

  private:
    std::string path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

#else
void WriteAll(int fd, const std::string& data, const std::string& file) {
    size_t off = 0;
    while (off < data.size()) {
        const ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(file, "cannot be written", errno);
        off += static_cast<size_t>(n);
    }
}

// The file the name stands for: a link is followed, so the rewrite replaces
// the file it points to and the link stays.
std::string TargetOf(const std::string& file) {
    char resolved[PATH_MAX];
    if (realpath(file.c_str(), resolved)) return resolved;
    return file;
}

// The longest file name `folder` takes.
size_t NameLimit(const std::string& folder) {
    long limit = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    if (limit <= 0) limit = NAME_MAX;
    return static_cast<size_t>(limit);
}

// Removes the temporary files of saves that were killed before their
// rename: names of `prefix` and six letters or digits. Called with the lock
// held, so no save is writing one now.
void RemoveLeftovers(const std::string& folder, const std::string& prefix) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const bool random = std::all_of(
            name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), [](char c) {
                return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            });
        struct stat st {};
        if (random && fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

// The lock a save holds from reading the file again to the rename: an
// exclusive flock of the lock file, which the holder removes before it lets
// go. One that waited on a file removed meanwhile locks the one there now.
class SaveLock {
  public:
    SaveLock(const std::string& file, std::string path) : path_(std::move(path)) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(TIniFile::kLockWaitMs);
        auto busy = [&] {
            Fail(file, "is being saved by another program (it holds " + path_ +
                           "); nothing was saved, try again");
        };
        for (;;) {
            fd_ = open(path_.c_str(),
                       O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
            if (fd_ < 0) Fail(file, "cannot get a temporary file beside it", errno);
            struct stat held {};
            if (fstat(fd_, &held) != 0 || !S_ISREG(held.st_mode)) {
                Drop();
                Fail(file,
                     "cannot get a temporary file beside it (" + path_ + " is not a regular file)");
            }
            while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
                const int err = errno;
                if (err == EINTR) continue;
                if (err != EWOULDBLOCK) {
                    Drop();
                    Fail(file, "cannot be locked for saving", err);
                }
                if (Clock::now() >= deadline) {
                    Drop();
                    busy();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            struct stat there {};
            if (lstat(path_.c_str(), &there) == 0 && there.st_dev == held.st_dev &&
                there.st_ino == held.st_ino)
                return;
            Drop();
            if (Clock::now() >= deadline) busy();
        }
    }
    ~SaveLock() {
        unlink(path_.c_str());
        Drop();
    }
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;

  private:
    void Drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    std::string path_;
    int fd_ = -1;
};

#endif

// A name in `folder` for a file of the save beside `base`: "." base suffix,
// or, where that is longer than the folder takes, the first bytes of base,
// "~" and a hash of the whole name before the suffix.
std::string SideName(const std::string& folder, const std::string& base,
                     const std::string& suffix) {
    const size_t most = NameLimit(folder);
    if (1 + base.size() + suffix.size() <= most) return "." + base + suffix;
    uint64_t h = 14695981039346656037ULL; // FNV-1a
    for (unsigned char c : base) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hash(16, '0');
    for (size_t i = hash.size(); i-- > 0; h >>= 4)
        hash[i] = kHex[h & 15];
    const size_t fixed = 2 + hash.size() + suffix.size();
    const size_t keep = most > fixed ? most - fixed : 0;
    return "." + base.substr(0, keep) + "~" + hash + suffix;
}

// Names a line of the file could not hold as given.
bool IsSectionName(const std::string& s) {
    if (s.find_first_of(std::string("\r\n\0]", 4)) != std::string::npos) return false;
    return s.empty() || (!IsBlank(s.front()) && !IsBlank(s.back()));
}
bool IsValueName(const std::string& s) {
    if (s.empty() || s.find_first_of(std::string("\r\n\0=", 4)) != std::string::npos) return false;
    return !IsBlank(s.front()) && !IsBlank(s.back()) && s[0] != ';' && s[0] != '#' && s[0] != '[';
}

} // namespace

struct TIniFile::Content {
    IniText text;
    // The values written since the file was read, in the order first written.
    std::vector<Write> writes;
    std::map<ValueName, size_t, ValueNameLess> index; // into writes
};

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
TIniFile::~TIniFile() = default;

TIniFile::Content& TIniFile::Read(bool forWriting) {
    if (content_) return *content_;
    auto content = std::make_unique<Content>();
    content->text = LoadText(fileName_, fileName_, forWriting);
    content_ = std::move(content);
    return *content_;
}

bool TIniFile::SectionExists(const std::string& section) {
    Content& c = Read(false);
    if (auto w = c.index.lower_bound(ValueNameView{section, ""});
        w != c.index.end() && SameName(w->first.section, section))
        return true;
    bool found = false;
    ForEachLine(c.text, [&](const Line& line, std::string_view in) {
        const bool header = line.kind == LineKind::Section && SameName(line.name, section);
        const bool topValue = line.kind == LineKind::Entry && section.empty() && in.empty();
        found = header || topValue;
        return !found;
    });
    return found;
}

std::optional<std::string> TIniFile::Value(const std::string& section, const std::string& ident) {
    Content& c = Read(false);
    if (auto w = c.index.find(ValueNameView{section, ident}); w != c.index.end())
        return c.writes[w->second].value;
    std::optional<std::string_view> value;
    bool several = false;
    ForEachLine(c.text, [&](const Line& line, std::string_view in) {
        if (line.kind != LineKind::Entry || !SameName(in, section) || !SameName(line.name, ident))
            return true;
        if (value) {
            several = true;
            return false;
        }
        value =
            std::string_view(c.text.data).substr(line.valueBegin, line.valueEnd - line.valueBegin);
        return true;
    });
    if (several)
        Fail(fileName_, "[" + section + "] " + ident +
                            " is given more than once; which one is meant is unclear");
    if (!value) return std::nullopt;
    return std::string(*value);
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& def) {
    return Value(section, ident).value_or(def);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident, int32_t def) {
    const std::optional<std::string> text = Value(section, ident);
    if (!text) return def;
    int32_t value = 0;
    if (!ParseDecimalInt32(*text, value))
        Fail(fileName_,
             "[" + section + "] " + ident + "=" + Quoted(*text) + " is not a 32-bit whole number");
    return value;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident,
                           const std::string& value) {
    Content& c = Read(true);
    if (c.text.unkeptLine != 0) FailUnkept(fileName_, c.text);
    if (!IsSectionName(section) || !IsValueName(ident))
        Fail(fileName_, "section " + Quoted(section) + ", value " + Quoted(ident) +
                            ": not a name an ini file can hold");
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        Fail(fileName_, "[" + section + "] " + ident + ": a value cannot hold a line break");
    if (auto w = c.index.find(ValueNameView{section, ident}); w != c.index.end()) {
        c.writes[w->second].value = value;
        return;
    }
    c.index.emplace(ValueName{section, ident}, c.writes.size());
    c.writes.push_back({section, ident, value});
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, int32_t value) {
    WriteString(section, ident, std::to_string(value));
}

#ifdef _WIN32
void TIniFile::UpdateFile() {
    if (!content_ || content_->writes.empty()) return;
    Content& c = *content_;
    const std::string target = TargetOf(fileName_);
    std::string folder, base = target;
    if (const size_t slash = target.find_last_of("\\/"); slash != std::string::npos) {
        folder = target.substr(0, slash + 1);
        base = target.substr(slash + 1);
    }
    const std::wstring wideTarget = platform::Wide(target);
    // Replacing the file would get past its write protection; do not.
    auto checkWritable = [&] {
        const DWORD a = GetFileAttributesW(wideTarget.c_str());
        if (a == INVALID_FILE_ATTRIBUTES) return;
        if (a & FILE_ATTRIBUTE_DIRECTORY) Fail(fileName_, "is not a regular file");
        if (a & FILE_ATTRIBUTE_READONLY) Fail(fileName_, "cannot be written", ERROR_ACCESS_DENIED);
    };
    checkWritable();

    const SaveLock lock(fileName_, folder + SideName(folder, base, ".lock"));
    // The file as it is now: another program may have saved since it was read.
    const IniText now = LoadText(target, fileName_, true);
    if (now.unkeptLine != 0) FailUnkept(fileName_, now);
    checkWritable();
    const std::string pattern = folder + SideName(folder, base, "~XXXXXX");
    RemoveLeftovers(folder, pattern.substr(folder.size(), pattern.size() - folder.size() - 6));
    const std::string text = Edited(now, c.writes, c.index);

    // A temporary file of a fresh name beside the file, written through.
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; h == INVALID_HANDLE_VALUE; ++attempt) {
        uint64_t seed = GetTickCount64() ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 20) ^
                        (static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15ULL);
        temp = pattern.substr(0, pattern.size() - 6);
        for (int i = 0; i < 6; ++i, seed = seed * 6364136223846793005ULL + 1442695040888963407ULL)
            temp += kLetters[(seed >> 33) % 62];
        h = CreateFileW(platform::Wide(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE &&
            (GetLastError() != ERROR_FILE_EXISTS || attempt >= 100))
            Fail(fileName_, "cannot get a temporary file beside it",
                 static_cast<int>(GetLastError()));
    }
    int err = 0;
    DWORD written = 0;
    if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size())
        err = static_cast<int>(GetLastError());
    if (!err && !FlushFileBuffers(h)) err = static_cast<int>(GetLastError());
    if (!CloseHandle(h) && !err) err = static_cast<int>(GetLastError());
    if (err) {
        DeleteFileW(platform::Wide(temp).c_str());
        Fail(fileName_, "cannot be written", err);
    }
    if (!MoveFileExW(platform::Wide(temp).c_str(), wideTarget.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const int renameErr = static_cast<int>(GetLastError());
        DeleteFileW(platform::Wide(temp).c_str());
        Fail(fileName_, "cannot be replaced", renameErr);
    }
    content_.reset();
}

#else
void TIniFile::UpdateFile() {
    if (!content_ || content_->writes.empty()) return;
    Content& c = *content_;
    const std::string target = TargetOf(fileName_);
    std::string folder, base = target;
    if (const size_t slash = target.find_last_of('/'); slash != std::string::npos) {
        folder = target.substr(0, slash + 1);
        base = target.substr(slash + 1);
    }
    // Checked before anything is put beside the file, and again under the lock.
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) Fail(fileName_, "is not a regular file");
        if (access(target.c_str(), W_OK) != 0) Fail(fileName_, "cannot be written", errno);
    }

    const SaveLock lock(fileName_, folder + SideName(folder, base, ".lock"));
    // The file as it is now: another program may have saved since it was read.
    const IniText now = LoadText(target, fileName_, true);
    if (now.unkeptLine != 0) FailUnkept(fileName_, now);
    const bool existed = stat(target.c_str(), &st) == 0;
    // Replacing the file would get past its write protection; do not.
    if (existed && access(target.c_str(), W_OK) != 0) Fail(fileName_, "cannot be written", errno);
    std::string temp = folder + SideName(folder, base, "~XXXXXX");
    RemoveLeftovers(folder, temp.substr(folder.size(), temp.size() - folder.size() - 6));
    const std::string text = Edited(now, c.writes, c.index);

    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) Fail(fileName_, "cannot get a temporary file beside it", errno);
    int err = 0;
    if (fchmod(fd, existed ? (st.st_mode & 07777) : 0644) != 0) err = errno;
    if (!err) {
        try {
            WriteAll(fd, text, fileName_);
        } catch (const ESettingsStore& e) {
            err = e.OsErrorCode();
        }
    }
    if (!err && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (err) {
        unlink(temp.c_str());
        Fail(fileName_, "cannot be written", err);
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        const int renameErr = errno;
        unlink(temp.c_str());
        Fail(fileName_, "cannot be replaced", renameErr);
    }
    // The rename itself reaches the disk with the folder.
    const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    content_.reset();
}

#endif

} // namespace serial
