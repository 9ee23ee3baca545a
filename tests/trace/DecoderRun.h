// Feeding a decoder from a table: steps of bytes in either direction, then the flush, and the
// messages compared with what a row expects.
#pragma once

#include "tests/support/Bytes.h"
#include "trace/LineDecoder.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tracetest {

using testsupport::Bytes;
using trace::Direction;
using trace::Message;

constexpr Direction To = Direction::ToInterface;
constexpr Direction From = Direction::FromInterface;

struct Step {
    Direction d;
    std::string bytes;
};

struct Expected {
    Direction d;
    std::string bytes;
    std::string kind;
    std::string meaning;
    bool ok = true;
};

struct Row {
    const char* name;
    std::vector<Step> steps;
    std::vector<Expected> messages;
};

// Feeds every step in order, then flushes; all messages.
inline std::vector<Message> Decode(std::string_view system, const std::vector<Step>& steps) {
    std::unique_ptr<trace::Decoder> decoder = trace::MakeDecoder(system);
    std::vector<Message> all;
    if (!decoder) return all;
    for (const Step& s : steps) {
        std::vector<Message> got = decoder->Feed(s.d, s.bytes);
        all.insert(all.end(), got.begin(), got.end());
    }
    std::vector<Message> rest = decoder->Flush();
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

inline std::string Describe(Direction d, const std::string& bytes, const std::string& kind,
                            const std::string& meaning, bool ok) {
    std::string s = d == To ? "> " : "< ";
    for (char c : bytes) {
        static const char digits[] = "0123456789ABCDEF";
        s += digits[static_cast<uint8_t>(c) >> 4];
        s += digits[static_cast<uint8_t>(c) & 0x0F];
        s += ' ';
    }
    return s + kind + (ok ? "" : " (not ok)") + ": " + meaning;
}

inline std::vector<std::string> Described(const std::vector<Message>& messages) {
    std::vector<std::string> out;
    for (const Message& m : messages)
        out.push_back(Describe(m.direction, m.bytes, m.kind, m.meaning, m.ok));
    return out;
}

inline std::vector<std::string> Described(const std::vector<Expected>& messages) {
    std::vector<std::string> out;
    for (const Expected& m : messages)
        out.push_back(Describe(m.d, m.bytes, m.kind, m.meaning, m.ok));
    return out;
}

// Every row decodes to exactly its messages.
inline void ExpectRows(std::string_view system, const std::vector<Row>& rows) {
    for (const Row& row : rows)
        EXPECT_EQ(Described(Decode(system, row.steps)), Described(row.messages)) << row.name;
}

// The rows together show every kind the decoder declares, and no other.
inline void ExpectEveryKind(std::string_view system, const std::vector<Row>& rows) {
    std::set<std::string> seen;
    for (const Row& row : rows)
        for (const Message& m : Decode(system, row.steps))
            seen.insert(m.kind);
    std::set<std::string> declared;
    std::unique_ptr<trace::Decoder> decoder = trace::MakeDecoder(system);
    for (std::string_view k : decoder->Kinds())
        declared.insert(std::string(k));
    EXPECT_EQ(seen, declared);
}

} // namespace tracetest
