// The DINAMO's side of the PC link: frames in, one answer frame per valid frame out.
#include "sim/DinamoModel.h"

#include <algorithm>

namespace sim {

namespace {

uint8_t U8(char c) {
    return static_cast<uint8_t>(c);
}

std::string Data(std::initializer_list<uint8_t> bytes) {
    std::string s;
    for (uint8_t b : bytes)
        s += static_cast<char>(b);
    return s;
}

} // namespace

uint8_t DinamoCheckByte(const std::string& bytes) {
    unsigned sum = 0;
    for (char c : bytes)
        sum += U8(c);
    return static_cast<uint8_t>((128u - (sum % 128u)) % 128u | 0x80u);
}

void DinamoModel::QueueOccupancy(uint8_t input, bool occupied) {
    uint8_t k = static_cast<uint8_t>(std::clamp<int>(input, 1, 128) - 1);
    reports_.push_back(Data({static_cast<uint8_t>(occupied ? 0x06 : 0x04), k}));
}

void DinamoModel::QueueMagnet(uint8_t magnet, bool state) {
    uint8_t k = static_cast<uint8_t>(std::clamp<int>(magnet, 1, 128) - 1);
    reports_.push_back(Data({static_cast<uint8_t>(0x02 + (state ? 1 : 0)), k}));
}

void DinamoModel::QueueBlock(uint8_t block, uint8_t value) {
    uint8_t k = static_cast<uint8_t>(std::clamp<int>(block, 1, 32) - 1);
    reports_.push_back(Data({static_cast<uint8_t>(0x40 + k), static_cast<uint8_t>(value & 0x7F)}));
}

void DinamoModel::QueueRaw(const std::string& data) {
    reports_.push_back(data.substr(0, 3));
}

void DinamoModel::SetFault(bool on, int resetsToClear) {
    fault_ = on;
    resetsToClear_ = on ? std::max(resetsToClear, 1) : 0;
}

std::string DinamoModel::Feed(const std::string& bytes, std::vector<DinamoFrameEvent>* events) {
    input_ += bytes;
    std::string out;
    for (;;) {
        size_t garbage = 0;
        while (garbage < input_.size() && (U8(input_[garbage]) & 0x80) != 0)
            ++garbage;
        skipped_ += garbage;
        input_.erase(0, garbage);
        if (input_.empty()) break;
        size_t length = (U8(input_[0]) & 0x03u) + 2u;
        if (input_.size() < length) break;
        std::string frame = input_.substr(0, length);
        input_.erase(0, length);
        unsigned sum = 0;
        for (char c : frame)
            sum += U8(c);
        if (sum % 128u != 0) {
            ++rejected_;
            continue;
        }
        Frame(frame, out, events);
    }
    return out;
}

void DinamoModel::Frame(const std::string& frame, std::string& out,
                        std::vector<DinamoFrameEvent>* events) {
    DinamoFrameEvent e;
    e.toggle = (U8(frame[0]) & kDinamoToggle) ? 1 : 0;
    e.data = frame.substr(1, frame.size() - 2);
    if (silent_) {
        if (events) events->push_back(e);
        return;
    }
    e.repeat = lastToggle_ && *lastToggle_ == e.toggle;
    if (!e.repeat) {
        lastToggle_ = e.toggle;
        if (!e.data.empty()) commands_.push_back(e.data);
        if (e.data == Data({kDinamoResetCommand})) {
            ++resets_;
            if (fault_ && --resetsToClear_ <= 0) {
                fault_ = false;
                resetsToClear_ = 0;
            }
        }
        lastReport_.clear();
        if (!reports_.empty()) {
            lastReport_ = reports_.front();
            reports_.pop_front();
        }
    }
    std::string answer(1, static_cast<char>(lastReport_.size() | (hold_ ? kDinamoHold : 0) |
                                            (fault_ ? kDinamoFault : 0) |
                                            (e.toggle ? kDinamoToggle : 0)));
    answer += lastReport_;
    uint8_t check = DinamoCheckByte(answer);
    if (badCheckNext_) {
        check = static_cast<uint8_t>(check ^ 0x01);
        badCheckNext_ = false;
    }
    answer += static_cast<char>(check);
    ++answered_;
    e.answered = true;
    e.answer = answer;
    out += answer;
    if (events) events->push_back(e);
}

} // namespace sim
