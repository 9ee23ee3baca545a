#include "cli/Script.h"

#include "cli/Cli.h"
#include "cli/Signals.h"

#ifdef _WIN32
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <iostream>

namespace cli {
namespace {

// Reads standard input line by line, waking for a signal as well. A line
// ends at LF; a CR before it (a script saved with CRLF) is dropped.
class LineReader {
  public:
    // False at the end of input or when the run is stopping.
    bool Next(std::string& line) {
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                line.assign(buffer_, 0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            if (eof_) {
                if (buffer_.empty()) return false;
                line.swap(buffer_);
                buffer_.clear();
                return true;
            }
            if (Stopping()) return false;
#ifdef _WIN32
            // A console read ends at Ctrl-C by itself; the handler notes it.
            char chunk[65536];
            const int n = _read(0, chunk, sizeof chunk);
            if (n > 0)
                buffer_.append(chunk, static_cast<size_t>(n));
            else
                eof_ = true;
#else
            const int wake = WakeDescriptor();
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake, POLLIN, 0}};
            if (poll(fds, wake >= 0 ? 2 : 1, -1) < 0) {
                if (errno == EINTR) continue;
                eof_ = true;
                continue;
            }
            if (fds[0].revents == 0) continue;
            char chunk[65536];
            const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n > 0)
                buffer_.append(chunk, static_cast<size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                eof_ = true;
#endif
        }
    }

  private:
    std::string buffer_;
    bool eof_ = false;
};

std::string WithoutCr(std::string line) {
    while (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

int RunSession(Session& session, const std::vector<std::string>& lines, bool fromStdin, bool json) {
    int status = kDone;
    CommandParser parser(json);
    auto one = [&](const std::string& raw) -> int {
        const std::string line = WithoutCr(raw);
        if (line.find_first_not_of(" \t") == std::string::npos) return kDone;
        Request req;
        switch (parser.Parse(line, req)) {
        case Parsed::Help:
            return kDone;
        case Parsed::WrongUse:
            return kWrongUse;
        case Parsed::Command:
            break;
        }
        return session.Execute(req);
    };
    if (!fromStdin) {
        for (const std::string& line : lines) {
            if (Stopping()) break;
            status = one(line);
            if (status != kDone) break;
        }
        return Stopping() ? StopStatus() : status;
    }
    const bool prompt = isatty(STDIN_FILENO) != 0;
    LineReader reader;
    std::string line;
    for (;;) {
        if (prompt) std::cerr << "quorrin> " << std::flush;
        if (!reader.Next(line)) break;
        if (Stopping()) break;
        status = one(line);
        // A person at the prompt goes on after a failed command; a script stops.
        if (status != kDone && !prompt) break;
        if (Stopping()) break;
    }
    return Stopping() ? StopStatus() : status;
}

} // namespace cli
