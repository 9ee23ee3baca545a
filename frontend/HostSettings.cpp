#include "frontend/HostSettings.h"

#include "command_station/MivoComm.h"
#include "frontend/Systems.h"

namespace frontend {

void ApplyHostSettings(command_station::TMivoCom& com, const HostSettings& s) {
    com.LenzAntwoordTijd = s.lenzReplyMs;
    com.LenzSlaOver = static_cast<uint8_t>(s.lenzSkip);
    com.LenzStilteTijd = static_cast<uint8_t>(s.lenzQuietMs);
    com.IBVasteBaud = s.ibFixed;
    com.IBBinaireLoc = s.ibBinary;
    if (s.ibBaud != 0)
        if (const auto rate = BaudRate(s.ibBaud)) com.IBDoelBaud = *rate;
    com.MarklinLocPauze = s.marklinLocPause;
    com.MarklinStopPauze = s.marklinStopPause;
    com.MarklinBytePauze = s.marklinBytePause;
    com.MarklinSnel = s.marklinFast;
    // The Märklin profile took its rate from MarklinSnel when the system was
    // chosen, before the host's settings arrived.
    if (com.DigitaalSysteem == command_station::dsMarklin)
        com.SetBaudRate(com.MarklinSnel ? serial::br19200 : serial::br2400);
    com.KaartSnel = s.kaartFast;
    com.KaartOptie0 = s.kaartOptions[0];
    com.KaartOptie1 = s.kaartOptions[1];
    com.KaartOptie2 = s.kaartOptions[2];
    com.KaartOptie4 = s.kaartOptions[3];
    com.DinamoAntwoordTijd = s.dinamoAnswerMs;
}

} // namespace frontend
