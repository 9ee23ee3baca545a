// The simulated Intellibox's rules: framing per mode, the commands it knows and what it answers.
#include "sim/IntelliboxModel.h"

#include <cstdlib>

namespace sim {

namespace {

constexpr uint8_t kCR = 0x0D;
// A text line longer than this is noise; the interface forgets it.
constexpr size_t kMaxLine = 1024;

bool KnownBaud(unsigned baud) {
    return baud == 2400 || baud == 4800 || baud == 9600 || baud == 19200 || baud == 38400;
}

// "12,3,..." into numbers; false on anything else.
bool Numbers(const std::string& text, std::vector<long>& out) {
    out.clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string part = text.substr(pos, comma == std::string::npos ? comma : comma - pos);
        if (part.empty() || part.size() > 6 || part.find_first_not_of("0123456789") != part.npos)
            return false;
        out.push_back(std::strtol(part.c_str(), nullptr, 10));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

} // namespace

IntelliboxModel::IntelliboxModel(IBMode mode, unsigned baud) : mode_(mode), baud_(baud) {}

void IntelliboxModel::SetMode(IBMode mode) {
    mode_ = mode;
    Reset();
}

void IntelliboxModel::Reset() {
    state_ = State::Start;
    prefixed_ = false;
    cmd_.clear();
    want_ = 0;
}

size_t IntelliboxModel::TakeEndlessText() {
    size_t n = endlessDue_;
    endlessDue_ = 0;
    return n;
}

size_t IntelliboxModel::BinaryLength(uint8_t first) const {
    switch (first) {
    case 0x80:
        return 5;
    case 0x98:
    case 0xC6:
        return 2;
    case 0xC7:
        return 3;
    default:
        return 1;
    }
}

size_t IntelliboxModel::P50Length(uint8_t first) {
    if (first == 0x60 || first == 0x61 || first == 0x20) return 1;
    return first < 0x60 ? 2 : 1;
}

uint8_t IntelliboxModel::Code() {
    if (nextReplyCode_) {
        uint8_t code = *nextReplyCode_;
        nextReplyCode_.reset();
        return code;
    }
    return replyCode_;
}

std::string IntelliboxModel::Feed(const std::string& bytes, std::vector<IBCommand>* commands) {
    std::string answer;
    for (char c : bytes) {
        uint8_t b = static_cast<uint8_t>(c);
        switch (state_) {
        case State::Start:
            if (mode_ == IBMode::Mixed && (b == 'x' || b == 'X')) {
                state_ = State::AfterX;
                prefixed_ = true;
                break;
            }
            prefixed_ = false;
            if (mode_ != IBMode::P50XOnly) {
                cmd_.assign(1, c);
                want_ = P50Length(b);
                state_ = State::P50;
                if (want_ == 1) Command(IBKind::P50Bare, cmd_, answer, commands);
                break;
            }
            [[fallthrough]];
        case State::AfterX:
            if (b < 0x80) {
                cmd_.clear();
                state_ = State::Text;
                if (b == kCR)
                    Command(IBKind::P50XText, cmd_, answer, commands);
                else
                    cmd_.assign(1, c);
                break;
            }
            cmd_.assign(1, c);
            want_ = BinaryLength(b);
            state_ = State::Binary;
            if (want_ == 1) Command(IBKind::P50XBinary, cmd_, answer, commands);
            break;
        case State::Text:
            if (b == kCR) {
                Command(IBKind::P50XText, cmd_, answer, commands);
            } else if (cmd_.size() < kMaxLine) {
                cmd_ += c;
            } else {
                Reset();
            }
            break;
        case State::Binary:
            cmd_ += c;
            if (cmd_.size() == want_) {
                uint8_t first = static_cast<uint8_t>(cmd_[0]);
                if (first == 0xC6 || first == 0xC7)
                    Command(IBKind::P50Wrapped, cmd_.substr(1), answer, commands);
                else
                    Command(IBKind::P50XBinary, cmd_, answer, commands);
            }
            break;
        case State::P50:
            cmd_ += c;
            if (cmd_.size() == want_) Command(IBKind::P50Bare, cmd_, answer, commands);
            break;
        }
    }
    return answer;
}

void IntelliboxModel::Command(IBKind kind, const std::string& bytes, std::string& answer,
                              std::vector<IBCommand>* commands) {
    // The mode probe "X" CR, as each mode takes it.
    bool probe = (kind == IBKind::P50XText && bytes.empty() && prefixed_) ||
                 (kind == IBKind::P50XText && bytes == "X" && mode_ == IBMode::P50XOnly) ||
                 (kind == IBKind::P50Bare && bytes == std::string{'X', '\r'});
    std::string a;
    switch (kind) {
    case IBKind::P50XText:
        a = Text(bytes);
        break;
    case IBKind::P50XBinary:
        a = Binary(bytes);
        break;
    case IBKind::P50Bare:
    case IBKind::P50Wrapped:
        a = P50(bytes);
        break;
    }
    if (probe && probeAnswer_) a = *probeAnswer_;
    if (silent_) a.clear();
    if (commands) commands->push_back({kind, bytes, a});
    answer += a;
    Reset();
}

std::string IntelliboxModel::Text(const std::string& line) {
    if (endless_ > 0) {
        endlessDue_ = endless_;
        endless_ = 0;
        return "";
    }
    if (line.empty()) return "?]";
    if (line == "ZzA0") return "ZzA0]";
    if (line == "RT10") return "RS-232 CTS ok]";
    if (line[0] == 'B' && line.size() > 1 && line.size() <= 7 &&
        line.find_first_not_of("0123456789", 1) == std::string::npos) {
        unsigned baud = static_cast<unsigned>(std::strtoul(line.c_str() + 1, nullptr, 10));
        if (!KnownBaud(baud)) return "Error: baud rate]";
        if (!ignoreBaud_) baud_ = baud;
        return "Ok]";
    }
    std::vector<long> n;
    if (line[0] == 'L' && Numbers(line.substr(1), n) && n.size() == 8 && n[0] <= 0xFFFF &&
        n[1] <= 127) {
        uint8_t code = Code();
        if (code != 0) return "Error " + std::to_string(code) + "]";
        IBLoco& loc = locos_[static_cast<uint16_t>(n[0])];
        loc.speed = static_cast<uint8_t>(n[1]);
        loc.light = n[2] != 0;
        loc.forward = n[3] != 0;
        loc.functions =
            static_cast<uint8_t>((n[4] ? 1 : 0) | (n[5] ? 2 : 0) | (n[6] ? 4 : 0) | (n[7] ? 8 : 0));
        return "Ok]";
    }
    return "Unknown command]";
}

std::string IntelliboxModel::Binary(const std::string& cmd) {
    uint8_t first = static_cast<uint8_t>(cmd[0]);
    uint8_t code = 0;
    switch (first) {
    case 0xC4:
        return probeBytes_ == 1 ? std::string(1, '\0') : std::string{'\0', '\x01'};
    case 0xA7:
    case 0xA6:
        code = Code();
        if (code == 0) power_ = first == 0xA7;
        return std::string(1, static_cast<char>(code));
    case 0x99:
        return std::string(1, static_cast<char>(Code()));
    case 0x98: {
        // Sensor status of one module: 0x00 and its two bytes (inputs 1..8
        // first, input 1 in the top bit); modules outside 1..31 are a bad
        // parameter.
        uint8_t n = static_cast<uint8_t>(cmd[1]);
        code = n < 1 || n > 31 ? 0x02 : Code();
        if (code != 0) return std::string(1, static_cast<char>(code));
        uint16_t inputs = feedback_.count(n) ? feedback_[n] : 0;
        return std::string{'\0', static_cast<char>(inputs >> 8), static_cast<char>(inputs & 0xFF)};
    }
    case 0x80: {
        code = Code();
        if (code == 0) {
            auto u = [&](size_t i) { return static_cast<uint8_t>(cmd[i]); };
            IBLoco& loc = locos_[static_cast<uint16_t>(u(1) | (u(2) << 8))];
            loc.speed = u(3);
            loc.forward = u(4) & 0x20;
            loc.light = u(4) & 0x10;
            loc.functions = u(4) & 0x0F;
        }
        return std::string(1, static_cast<char>(code));
    }
    default:
        return "";
    }
}

std::string IntelliboxModel::P50(const std::string& cmd) {
    uint8_t first = static_cast<uint8_t>(cmd[0]);
    auto module = [&](uint8_t n) {
        uint16_t inputs = feedback_.count(n) ? feedback_[n] : 0;
        return std::string{static_cast<char>(inputs >> 8), static_cast<char>(inputs & 0xFF)};
    };
    if (first == 0x60 || first == 0x61) {
        power_ = first == 0x60;
    } else if (first >= 0x80 && first <= 0x9F) {
        std::string a;
        for (uint8_t n = 1; n <= first - 0x80; ++n)
            a += module(n);
        return a;
    } else if (first >= 0xC0 && first <= 0xDF) {
        return module(static_cast<uint8_t>(first - 0xC0));
    } else if (first < 32 && cmd.size() == 2) {
        p50Locos_[static_cast<uint8_t>(cmd[1])] = first;
    }
    return "";
}

} // namespace sim
