// Byte strings written in tests as lists of numbers: Bytes({0x21, 0x21, 0x00}).
#pragma once

#include <initializer_list>
#include <string>

namespace testsupport {

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

} // namespace testsupport
