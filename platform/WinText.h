// Windows only: UTF-8 texts to and from the wide strings of the Win32 calls,
// and reading a file named in UTF-8.
#pragma once
#ifdef _WIN32

#include <string>

namespace platform {

std::string Utf8(const std::wstring& wide);
std::wstring Wide(const std::string& utf8);
// The system's words for a Win32 error code, without the closing full stop.
std::string SystemErrorText(unsigned long code);
// The whole file into `bytes`; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

} // namespace platform

#endif
