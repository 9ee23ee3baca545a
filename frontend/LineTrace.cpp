#include "frontend/LineTrace.h"

#include "trace/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#ifdef _WIN32
#include "platform/WinText.h"
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace frontend {

namespace {

// Microseconds as milliseconds with three decimals.
std::string MsText(uint64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(micros / 1000),
                  static_cast<unsigned long long>(micros % 1000));
    return text;
}

// A JSON string of `text`; a byte outside ASCII becomes U+FFFD, as in every
// other JSON the program writes.
void AppendJsonString(std::string& out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const auto b = static_cast<uint8_t>(c);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20) {
            out += "\\u00";
            out += digits[b >> 4];
            out += digits[b & 0x0F];
        } else if (b >= 0x80) {
            out += "\\ufffd";
        } else {
            out += c;
        }
    }
    out += '"';
}

// 0, or the error number of the write that failed.
int WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int Index(trace::Direction d) {
    return d == trace::Direction::ToInterface ? 0 : 1;
}

// Text that is not UTF-8 (a device link's name) becomes U+FFFD instead of
// aborting the dump.
std::string Dump(const nlohmann::json& object) {
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

#ifdef _WIN32
int OpenTraceFile(const std::string& path, std::string& error) {
    // Only a file on a disk is written: not a pipe, a console or a device.
    HANDLE h = CreateFileW(platform::Wide(path).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = platform::SystemErrorText(GetLastError());
        return -1;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        error = "not a regular file";
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        error = std::strerror(errno);
    }
    return fd;
}

#else
int OpenTraceFile(const std::string& path, std::string& error) {
    // Non-blocking, so a FIFO without a reader cannot hold the open.
    const int fd =
        open(path.c_str(),
             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        // A FIFO that nobody reads fails the non-blocking open.
        const bool fifo = err == ENXIO && lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
        error = fifo ? "not a regular file" : std::strerror(err);
        return -1;
    }
    struct stat st {};
    const char* refused = nullptr;
    if (fstat(fd, &st) != 0)
        refused = std::strerror(errno);
    else if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode))
        refused = "not a regular file";
    else if (isatty(fd))
        refused = "a terminal, not a file";
    if (refused) {
        error = refused;
        close(fd);
        return -1;
    }
    // From here on a write waits for the file like any other.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
#endif

LineTrace::LineTrace(const std::string& system, bool print, bool json, int fileFd,
                     std::string filePath)
    : decoder_(trace::MakeDecoder(system)), print_(print), json_(json), fileFd_(fileFd),
      filePath_(std::move(filePath)), start_(serial::TraceMicros()) {
    if (fileFd_ >= 0) writer_ = std::thread([this] { Writer(); });
}

LineTrace::~LineTrace() {
    StopWriter();
    if (fileFd_ >= 0) close(fileFd_);
}

void LineTrace::StopWriter() {
    if (!writer_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopWriter_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

uint64_t LineTrace::TimeOf(int d, uint64_t offset) const {
    uint64_t t = chunks_[d].empty() ? start_ : chunks_[d].front().micros;
    for (const Chunk& c : chunks_[d]) {
        if (c.offset > offset) break;
        t = c.micros;
    }
    return t;
}

void LineTrace::OnTraffic(uint64_t micros, serial::TraceDirection direction, const uint8_t* bytes,
                          size_t count) {
    std::lock_guard lock(mutex_);
    if (finished_ || !decoder_) return;
    const trace::Direction d = direction == serial::TraceDirection::Written
                                   ? trace::Direction::ToInterface
                                   : trace::Direction::FromInterface;
    const int i = Index(d);
    chunks_[i].push_back({fed_[i], micros});
    fed_[i] += count;
    for (const trace::Message& m :
         decoder_->Feed(d, std::string_view(reinterpret_cast<const char*>(bytes), count)))
        Emit(m);
}

void LineTrace::OnLineEvent(uint64_t micros, serial::TraceLineEvent event, uint32_t value,
                            std::string_view detail) {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    // What the decoder holds belongs before the close.
    if (event == serial::TraceLineEvent::Closed && decoder_)
        for (const trace::Message& m : decoder_->Flush())
            Emit(m);
    const uint64_t t = micros > start_ ? micros - start_ : 0;
    const char* name = serial::TraceLineEventName(event);
    std::string line;
    if (WantLine()) {
        // The keys in the order the JSON library writes them. Written out
        // by hand for the events inside every exchange (the purge of a
        // read), whose detail is empty or plain ASCII.
        const bool plain = std::all_of(detail.begin(), detail.end(), [](char c) {
            return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
        });
        if (plain) {
            line.reserve(96 + detail.size());
            if (!detail.empty()) {
                line += "{\"detail\":\"";
                line += detail;
                line += "\",\"event\":\"trace\",\"line\":\"";
            } else {
                line += "{\"event\":\"trace\",\"line\":\"";
            }
            line += name;
            line += "\",\"t_us\":";
            line += std::to_string(t);
            line += ",\"value\":";
            line += std::to_string(value);
            line += '}';
        } else {
            nlohmann::json object{{"event", "trace"}, {"t_us", t}, {"line", name}, {"value", value}};
            object["detail"] = std::string(detail);
            line = Dump(object);
        }
    }
    std::string text;
    if (WantText()) {
        text = "trace " + MsText(t) + " ms  line " + name;
        if (event != serial::TraceLineEvent::Opened && event != serial::TraceLineEvent::Closed)
            text += " " + std::to_string(value);
        if (!detail.empty()) text += " " + std::string(detail);
    }
    Out(line, &text);
}

void LineTrace::Emit(const trace::Message& m) {
    const int i = Index(m.direction);
    const uint64_t first = TimeOf(i, emitted_[i]);
    emitted_[i] += m.bytes.size();
    const uint64_t last = TimeOf(i, emitted_[i] - 1);
    while (chunks_[i].size() > 1 && chunks_[i][1].offset < emitted_[i])
        chunks_[i].pop_front();

    const uint64_t t = first > start_ ? first - start_ : 0;
    const uint64_t gap = anyLine_ && t > previous_ ? t - previous_ : 0;
    anyLine_ = true;
    previous_ = t;

    ++kinds_[m.kind];
    if (!m.ok) ++bad_;
    if (m.direction == trace::Direction::ToInterface) {
        awaiting_ = true;
        requestEnd_ = last;
        requestKind_ = m.kind;
    } else if (awaiting_) {
        awaiting_ = false;
        const double ms = first > requestEnd_ ? static_cast<double>(first - requestEnd_) / 1000 : 0;
        if (ms > slowestMs_) {
            slowestMs_ = ms;
            slowestRequest_ = requestKind_;
            slowestAnswer_ = m.kind;
        }
    }

    const std::string hex = trace::text::BareHex(m.bytes);
    // Written out by hand: this runs inside every exchange.
    std::string line;
    if (WantLine()) {
        line.reserve(160 + m.meaning.size());
        line += "{\"event\":\"trace\",\"t_us\":";
        line += std::to_string(t);
        line += ",\"direction\":\"";
        line += trace::DirectionName(m.direction);
        line += "\",\"bytes\":\"";
        line += hex;
        line += "\",\"kind\":";
        AppendJsonString(line, m.kind);
        line += ",\"meaning\":";
        AppendJsonString(line, m.meaning);
        line += m.ok ? ",\"ok\":true,\"gap_us\":" : ",\"ok\":false,\"gap_us\":";
        line += std::to_string(gap);
        line += '}';
    }
    std::string text;
    if (WantText())
        text = "trace " + MsText(t) + " ms  " +
               (m.direction == trace::Direction::ToInterface ? "> " : "< ") + hex + "  " + m.kind +
               (m.ok ? "" : " (bad)") + ": " + m.meaning + "  (+" + MsText(gap) + " ms)";
    Out(line, &text);
}

void LineTrace::Out(const std::string& line, const std::string* text) {
    if (print_ && json_) {
        if (printLine)
            printLine(line);
        else
            std::cout << line << '\n' << std::flush;
    }
    if (fileFd_ >= 0) {
        pending_ += line;
        pending_ += '\n';
    }
    if (WantText() && text) std::cerr << *text << '\n';
}

void LineTrace::Writer() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopWriter_; });
        const std::string data = std::exchange(pending_, {});
        const bool last = stopWriter_;
        const int fd = fileFd_;
        lock.unlock();
        const int failed = WriteAll(fd, data);
        lock.lock();
        if (failed) {
            const std::string text =
                "trace file " + filePath_ + ": " + std::strerror(failed) + "; tracing to it stops";
            close(fileFd_);
            fileFd_ = -1;
            pending_.clear();
            lock.unlock();
            if (onFileFailure)
                onFileFailure(text);
            else
                std::cerr << text << std::endl;
            return;
        }
        if (last && pending_.empty()) return;
    }
}

void LineTrace::Finish() {
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        if (decoder_)
            for (const trace::Message& m : decoder_->Flush())
                Emit(m);
        finished_ = true;
        if (print_) Summary();
    }
    StopWriter();
}

void LineTrace::Summary() {
    long total = 0;
    std::string perKind;
    nlohmann::json kinds = nlohmann::json::object();
    for (const auto& [kind, count] : kinds_) {
        total += count;
        perKind += (perKind.empty() ? "" : ", ") + kind + " " + std::to_string(count);
        kinds[kind] = count;
    }
    nlohmann::json summary{
        {"event", "trace-summary"}, {"messages", kinds}, {"bad_checksums", bad_}};
    std::string text = "trace summary: " + std::to_string(total) + " message(s)" +
                       (perKind.empty() ? "" : ": " + perKind) + "\n";
    if (slowestMs_ >= 0) {
        const auto us = static_cast<uint64_t>(slowestMs_ * 1000 + 0.5);
        summary["slowest_answer_us"] = us;
        summary["slowest_request"] = slowestRequest_;
        summary["slowest_answer"] = slowestAnswer_;
        text += "trace summary: slowest answer " + MsText(us) + " ms (" + slowestRequest_ + " -> " +
                slowestAnswer_ + ")\n";
    } else {
        text += "trace summary: no answers\n";
    }
    text += "trace summary: " + std::to_string(bad_) + " bad checksum(s)";
    Out(Dump(summary), &text);
}

} // namespace frontend
