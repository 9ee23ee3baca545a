// EComPort and its table of 23 texts, translated once when the serial layer
// starts.
#include "serial/ComTypes.h"

#include "platform/Translate.h"

#include <array>
#include <mutex>

namespace serial {
namespace {

constexpr std::array<const char*, 23> kTexts = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

constexpr const char* kSuffix = " (win error code: %d)";

std::once_flag g_initOnce;
std::array<std::string, 23> g_translated;

const std::string& TranslatedText(int code) {
    InitSerialLayer();
    static const std::string none;
    if (code < 1 || code > static_cast<int>(kTexts.size())) return none;
    return g_translated[static_cast<size_t>(code - 1)];
}

// The suffix comes from a catalogue, so it is not trusted as a printf
// format: only its first "%d" is replaced, anything else stays as written.
std::string FormatSuffix(int osErrorCode) {
    std::string suffix = platform::Translate(kSuffix);
    const std::string number = std::to_string(osErrorCode);
    auto at = suffix.find("%d");
    if (at == std::string::npos) return suffix + " " + number;
    return suffix.replace(at, 2, number);
}

} // namespace

void InitSerialLayer() {
    std::call_once(g_initOnce, [] {
        platform::AddTranslationDomain("cport");
        for (size_t i = 0; i < kTexts.size(); ++i)
            g_translated[i] = platform::Translate(kTexts[i]);
    });
}

std::string ComErrorText(int portErrorCode) {
    if (portErrorCode < 1 || portErrorCode > static_cast<int>(kTexts.size())) return {};
    return kTexts[static_cast<size_t>(portErrorCode - 1)];
}

EComPort::EComPort(int portErrorCode)
    : std::runtime_error(TranslatedText(portErrorCode)), osErrorCode_(-1),
      portErrorCode_(portErrorCode) {}

EComPort::EComPort(int portErrorCode, int osErrorCode)
    : std::runtime_error(TranslatedText(portErrorCode) + FormatSuffix(osErrorCode)),
      osErrorCode_(osErrorCode), portErrorCode_(portErrorCode) {}

EComPort::EComPort(int portErrorCode, int osErrorCode, const std::string& detail)
    : std::runtime_error(TranslatedText(portErrorCode) + ": " + detail +
                         (osErrorCode == -1 ? std::string() : FormatSuffix(osErrorCode))),
      osErrorCode_(osErrorCode), portErrorCode_(portErrorCode) {}

} // namespace serial
