#include "sim/console/Console.h"

#include "platform/Tick.h"
#include "trace/LineDecoder.h"
#include "trace/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>

namespace sim::console {

namespace {
std::mutex g_out;
} // namespace

int BlockStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    return signalfd(-1, &stop, SFD_CLOEXEC);
}

int ServeConsole(const std::function<void(int sigFd)>& serve) {
    // Blocked before the simulator's thread starts, so the signals only reach the signalfd.
    int sigFd = BlockStopSignals();
    if (sigFd < 0) {
        std::perror("quorrin-sim: signalfd");
        return 1;
    }
    try {
        serve(sigFd);
    } catch (const std::exception& e) {
        std::cerr << "quorrin-sim: " << e.what() << "\n";
        ::close(sigFd); // Loop closes it only when it returns
        return 1;
    }
    return 0;
}

void Loop(int sigFd, const std::function<bool(const std::string&)>& execute) {
    std::string pending;
    for (bool running = true; running;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {sigFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) break;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[1024];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            if (!pending.empty()) execute(pending);
            break;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t eol; running && (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            running = execute(line);
        }
    }
    ::close(sigFd);
}

namespace {

std::string g_traceSystem; // set once, before any simulator thread starts

// The decoder behind --trace and the time it began; the messages it still holds are printed
// when the last copy of the tap goes.
class TraceView {
  public:
    explicit TraceView(std::unique_ptr<trace::Decoder> decoder)
        : decoder_(std::move(decoder)), start_(platform::MicroNow()) {}
    ~TraceView() {
        for (const trace::Message& m : decoder_->Flush())
            Print(m, platform::MicroNow());
    }
    void Feed(bool fromPc, uint64_t atUs, std::string_view bytes) {
        const auto d = fromPc ? trace::Direction::ToInterface : trace::Direction::FromInterface;
        for (const trace::Message& m : decoder_->Feed(d, bytes))
            Print(m, atUs);
    }

  private:
    void Print(const trace::Message& m, uint64_t atUs) const {
        const std::string hex = trace::text::BareHex(m.bytes);
        const uint64_t t = atUs > start_ ? atUs - start_ : 0;
        char ms[32];
        std::snprintf(ms, sizeof ms, "%llu.%03llu", static_cast<unsigned long long>(t / 1000),
                      static_cast<unsigned long long>(t % 1000));
        Say(std::string("trace ") + ms + " ms " +
            (m.direction == trace::Direction::ToInterface ? "> " : "< ") + hex + "  " + m.kind +
            (m.ok ? "" : " (bad)") + ": " + m.meaning);
    }
    std::unique_ptr<trace::Decoder> decoder_;
    uint64_t start_;
};

} // namespace

void SetTraceSystem(const std::string& system) {
    g_traceSystem = system;
}

std::function<void(bool, uint64_t, const char*, size_t)> TraceTap() {
    std::unique_ptr<trace::Decoder> decoder = trace::MakeDecoder(g_traceSystem);
    if (!decoder) return {};
    auto view = std::make_shared<TraceView>(std::move(decoder));
    // The transport calls the tap under its lock, one call at a time.
    return [view](bool fromPc, uint64_t atUs, const char* data, size_t n) {
        view->Feed(fromPc, atUs, std::string_view(data, n));
    };
}

void Say(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_out);
    std::cout << line << std::endl;
}

Words SplitWords(const std::string& line) {
    std::istringstream in(line);
    Words words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::optional<long> Number(const std::string& word, long max) {
    int base = 10;
    std::string digits = word;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        digits = word.substr(2);
    } else if (word.size() > 2 && word[0] == '0' && (word[1] == 'b' || word[1] == 'B')) {
        base = 2;
        digits = word.substr(2);
    }
    if (digits.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(digits.c_str(), &end, base);
    if (errno || *end != '\0' || v < 0 || v > max) return std::nullopt;
    return v;
}

std::optional<bool> OnOff(const std::string& word) {
    if (word == "on" || word == "1") return true;
    if (word == "off" || word == "0") return false;
    return std::nullopt;
}

std::optional<long> NumberIn(const std::string& word, long lo, long hi) {
    auto v = Number(word, hi);
    if (!v || *v < lo) return std::nullopt;
    return v;
}

std::optional<bool> OnOffArgument(const Words& w) {
    return w.size() == 2 ? OnOff(w[1]) : std::nullopt;
}

std::optional<std::string> ByteList(const Words& w, size_t from) {
    std::string bytes;
    for (size_t i = from; i < w.size(); ++i) {
        auto b = Number(w[i], 255);
        if (!b) return std::nullopt;
        bytes += static_cast<char>(*b);
    }
    return bytes;
}

std::string Printable(const std::string& text, const char* format, bool doubleBackslash) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\' && doubleBackslash) {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, format, c);
            out += buf;
        }
    }
    return out;
}

std::string Escaped(const std::string& text) {
    return Printable(text, "\\x%02X", true);
}

std::optional<int> ReadOptions(const Words& args, const char* help, bool* verbose,
                               const std::vector<ValueOption>& valued) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << help;
            return 0;
        }
        if (verbose && (arg == "--verbose" || arg == "-v")) {
            *verbose = true;
            continue;
        }
        auto option = std::find_if(valued.begin(), valued.end(),
                                   [&](const ValueOption& o) { return arg == o.name; });
        if (option != valued.end() && i + 1 < args.size()) {
            if (option->take(args[++i])) continue;
            std::cerr << "quorrin-sim: " << option->expects << "\n";
            return 2;
        }
        std::cerr << "quorrin-sim: unknown option " << arg << " (try --help)\n";
        return 2;
    }
    return std::nullopt;
}

} // namespace sim::console
