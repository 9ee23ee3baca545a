// TIniFile over SimpleIni, with the file handling SimpleIni leaves to its
// user: refusing what is not an ini file, keeping the comments after the
// last value (which SimpleIni drops), and replacing the file in one step.
#include "serial/IniFile.h"

#include "serial/ComSettings.h"

// Bytes stay bytes: no conversion, so legacy code pages pass unchanged.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace serial {

struct TIniFile::Content {
    // Multi-key, so a value given twice can be told apart from one given once.
    CSimpleIniA ini{false, true, false};
    std::string head; // a file of comments only, kept before the sections
    std::string tail; // the comment lines after the last section or value
    bool bom = false;
    bool crlf = false; // the file's lines end in CR LF (written on Windows)
    bool dirty = false;
    // The first line SimpleIni would drop on a rewrite (0: none).
    int unkeptLine = 0;
    std::string unkeptText;
};

namespace {

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

[[noreturn]] void Fail(const std::string& file, const std::string& what, int err = -1) {
    std::string message = file + ": " + what;
    if (err > 0) message += ": " + std::string(std::strerror(err));
    throw ESettingsStore(message, err);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trimmed(const std::string& line) {
    size_t b = 0, e = line.size();
    while (b < e && IsSpace(line[b]))
        ++b;
    while (e > b && IsSpace(line[e - 1]))
        --e;
    return line.substr(b, e - b);
}

enum class LineKind { Blank, Comment, Entry, Unkept };

// How SimpleIni reads a line (a section header counts as an entry).
LineKind KindOf(const std::string& line) {
    const std::string t = Trimmed(line);
    if (t.empty()) return LineKind::Blank;
    if (t[0] == ';' || t[0] == '#') return LineKind::Comment;
    if (t[0] == '[') return t.find(']') != std::string::npos ? LineKind::Entry : LineKind::Unkept;
    const size_t eq = t.find('=');
    return (eq != std::string::npos && eq > 0) ? LineKind::Entry : LineKind::Unkept;
}

std::vector<std::string> Lines(const std::string& data) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < data.size()) {
        size_t nl = data.find('\n', at);
        if (nl == std::string::npos) nl = data.size() - 1;
        lines.push_back(data.substr(at, nl - at + 1));
        at = nl + 1;
    }
    return lines;
}

// Control characters other than white space mean the file is no text; a
// rewrite of what SimpleIni made of it would lose data. DEL (127) is text:
// a stored character setting writes it as itself.
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

std::string ReadWholeFile(const std::string& file, bool& missing) {
    missing = false;
    // Non-blocking, so a FIFO or a device given as the file cannot hang us.
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
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

} // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
TIniFile::~TIniFile() = default;

TIniFile::Content& TIniFile::Read(bool forWriting) {
    if (content_) return *content_;
    bool missing = false;
    std::string data = ReadWholeFile(fileName_, missing);
    if (missing && !forWriting) Fail(fileName_, "cannot be read", ENOENT);
    CheckText(fileName_, data);

    auto content = std::make_unique<Content>();
    static const std::string kBom = "\xEF\xBB\xBF";
    if (data.compare(0, kBom.size(), kBom) == 0) {
        content->bom = true;
        data.erase(0, kBom.size());
    }
    // SimpleIni keeps comments that precede an entry; the ones after the
    // last entry are split off here and put back on writing.
    const std::vector<std::string> lines = Lines(data);
    size_t bodyEnd = 0; // lines [0, bodyEnd) go to SimpleIni
    for (size_t i = 0; i < lines.size(); ++i) {
        const LineKind kind = KindOf(lines[i]);
        if (kind == LineKind::Entry) bodyEnd = i + 1;
        if (kind == LineKind::Unkept && content->unkeptLine == 0) {
            content->unkeptLine = static_cast<int>(i) + 1;
            content->unkeptText = Trimmed(lines[i]);
        }
    }
    std::string body;
    for (size_t i = 0; i < lines.size(); ++i)
        (i < bodyEnd ? body : (bodyEnd == 0 ? content->head : content->tail)) += lines[i];
    if (!content->tail.empty() && content->tail.back() != '\n') content->tail += '\n';
    if (!content->head.empty() && content->head.back() != '\n') content->head += '\n';
    content->crlf = body.find("\r\n") != std::string::npos;
    if (content->ini.LoadData(body.data(), body.size()) < 0)
        Fail(fileName_, "cannot be parsed as an ini file");
    content_ = std::move(content);
    return *content_;
}

bool TIniFile::SectionExists(const std::string& section) {
    return Read(false).ini.GetSection(section.c_str()) != nullptr;
}

const char* TIniFile::Value(const std::string& section, const std::string& ident) {
    bool several = false;
    const char* value = Read(false).ini.GetValue(section.c_str(), ident.c_str(), nullptr, &several);
    if (several)
        Fail(fileName_, "[" + section + "] " + ident +
                            " is given more than once; which one is meant is unclear");
    return value;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& def) {
    const char* value = Value(section, ident);
    return value ? std::string(value) : def;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident, int32_t def) {
    const char* text = Value(section, ident);
    if (!text) return def;
    int32_t value = 0;
    if (!ParseDecimalInt32(text, value))
        Fail(fileName_,
             "[" + section + "] " + ident + "=" + Quoted(text) + " is not a 32-bit whole number");
    return value;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident,
                           const std::string& value) {
    Content& c = Read(true);
    if (c.unkeptLine != 0)
        Fail(fileName_, "line " + std::to_string(c.unkeptLine) + " (" + Quoted(c.unkeptText) +
                            ") is neither a section, a value nor a comment; the file is left "
                            "as it is");
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        Fail(fileName_, "[" + section + "] " + ident + ": a value cannot hold a line break");
    if (c.ini.SetValue(section.c_str(), ident.c_str(), value.c_str(), nullptr, true) < 0)
        Fail(fileName_, "[" + section + "] " + ident + " cannot be set", ENOMEM);
    c.dirty = true;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, int32_t value) {
    WriteString(section, ident, std::to_string(value));
}

void TIniFile::UpdateFile() {
    if (!content_ || !content_->dirty) return;
    Content& c = *content_;
    c.ini.SetSpaces(false);
    std::string saved;
    if (c.ini.Save(saved, false) < 0) Fail(fileName_, "cannot be written", ENOMEM);
    if (c.crlf) {
        std::string withCr;
        for (char ch : saved)
            withCr += ch == '\n' ? "\r\n" : std::string(1, ch);
        saved = std::move(withCr);
    }
    std::string text = (c.bom ? "\xEF\xBB\xBF" : "") + c.head + saved;
    if (!c.tail.empty()) text += (saved.empty() || saved.back() == '\n' ? "" : "\n") + c.tail;

    const std::string target = TargetOf(fileName_);
    struct stat st {};
    const bool existed = stat(target.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode)) Fail(fileName_, "is not a regular file");
    // Replacing the file would get past its write protection; do not.
    if (existed && access(target.c_str(), W_OK) != 0) Fail(fileName_, "cannot be written", errno);

    std::string temp = target + ".XXXXXX";
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
        const int err = errno;
        unlink(temp.c_str());
        Fail(fileName_, "cannot be replaced", err);
    }
    // The rename itself reaches the disk with the folder.
    std::string folder(".");
    if (const size_t slash = target.find_last_of('/'); slash != std::string::npos)
        folder = target.substr(0, slash + 1);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    content_.reset();
}

} // namespace serial
