// Lenz: received bytes arrive through the port's OnRxChar and collect in
// LenzInvoer for the message parser.
#include "command_station/MivoComm.h"

#include "platform/Tick.h"

namespace command_station {

namespace {
constexpr uint16_t kLogOntvangen = 0x0001;
} // namespace

void TMivoCom::LenzOntvang(TCustomComPort*, int Count) {
    if (Count <= 0) return;
    std::string chunk;
    ReadText(chunk, Count);
    LenzInvoer += chunk;
    // A received chunk restarts the quiet time the sender waits for.
    LenzStilteTot = static_cast<int32_t>(platform::GetTickCount() + LenzStilteTijd);
    if (LenzLogAan(kLogOntvangen)) {
        std::string t = "- ontvangen: ";
        for (unsigned char b : chunk) {
            t += ' ';
            t += std::to_string(b);
        }
        DoLenzAddTekst(t);
    }
    // The message parser (LenzVerwerk) takes LenzInvoer from here once the
    // Lenz protocol is built; until then the bytes only collect.
}

} // namespace command_station
