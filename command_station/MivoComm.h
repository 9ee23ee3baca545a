// The command-station component: a serial port that speaks the byte
// protocols of six model-railway command stations. The host picks a port and
// a system with SetDigitaalSysteem; the operations then speak that system's
// protocol, one synchronous transaction on the caller's thread each.
#pragma once

#include "serial/CPort.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace command_station {

using serial::TComPort;

// The digital systems.
enum : uint8_t {
    dsSelectrix = 1,
    dsMarklin = 2,
    dsLenz = 3,
    dsSerieleKaart = 4,
    dsIntellibox = 5,
    dsDinamo = 6,
};

enum TAlgAct : uint8_t { aaLoc, aaFunc, aaMarWissel, aaTest };
enum TLenzAktie : uint8_t {
    laBezetmelder, laVersie, laLoc, laLocV3, laWisselFeedback, laNoodstop, laAllesAan
};
enum TIBAktie : uint8_t {
    iaBezetmelder, iaLoc, iaWissel, iaPowerOff, iaPowerOn, iaShortExB, iaShortLB, iaShortInB,
    iaOverheated
};
enum TDinAktie : uint8_t { daBezetmelder, daMagneet, daBlok };

using TAlgTekst = std::function<void(TAlgAct AAct, const std::string& ATekst)>;
using TLenzAddTekst = std::function<void(const std::string& ATekst)>;
using TLenzDoeIets = std::function<void(TLenzAktie AAktie, uint16_t AData1, uint16_t AData2,
                                        uint8_t AData3, double AData4)>;
using TIBAddTekst = std::function<void(const std::string& ATekst)>;
using TIBDoeIets = std::function<void(TIBAktie AAktie, uint16_t AData1, uint16_t AData2,
                                      uint16_t AData3, uint16_t AData4)>;
using TDINDoeIets = std::function<void(TDinAktie AAktie, uint16_t AData1, uint16_t AData2,
                                       uint16_t AData3, uint16_t AData4)>;

// Functions 1 to 4 of a locomotive command.
using TFuncties = std::array<bool, 4>;

class TMivoCom : public TComPort {
public:
    explicit TMivoCom(void* owner = nullptr);
    ~TMivoCom() override;

    void SetDigitaalSysteem(uint8_t systeem);

    // --- operations every system answers in its own way
    bool GetVerbindingOke();
    bool GetSysteemNoodstop();
    bool ZetSysteemAan();
    void ZetSysteemUit();
    void StuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                  const TFuncties& Functies, uint8_t LenzStappen, uint8_t IBStappen,
                  bool IBOudProtocol, std::string& Resultaat);
    void GetBezetmelder(uint8_t Adres, uint8_t Extra, bool Extra1, bool Extra2,
                        std::string& Resultaat);

    // --- system-specific operations
    void SelectrixFunctieDecoder(uint8_t Adres, uint8_t Waarde);

    // --- common helpers
    void VerstuurBytes(const std::string& bytes);
    void LogNaarBestand(const std::string& bytes);
    bool WachtOpInvoer(uint16_t count, uint16_t timeoutMs);
    bool InitSysteem();

    void DoAlgTekst(TAlgAct AAct, const std::string& ATekst);
    void DoLenzAddTekst(const std::string& ATekst);
    void DoIBAddTekst(const std::string& ATekst);
    void DoLenzDoeIets(TLenzAktie AAktie, uint16_t AData1, uint16_t AData2, uint8_t AData3,
                       double AData4);
    void DoDinDoeIets(TDinAktie AAktie, uint16_t AData1, uint16_t AData2, uint16_t AData3,
                      uint16_t AData4);

    // --- events
    TAlgTekst OnAlgTekst;
    const TLenzAddTekst& OnLenzAddTekst() const { return onLenzAddTekst_; }
    // Removing the handler also resets LenzLogMasker to 0.
    void SetOnLenzAddTekst(TLenzAddTekst handler);
    TLenzDoeIets OnLenzDoeIets;
    TIBAddTekst OnIBAddTekst;
    TIBDoeIets OnIBDoeIets;
    TDINDoeIets OnDinDoeIets;

    // --- common fields
    uint8_t DigitaalSysteem = 0;
    bool LogNaarBestandAan = false;
    bool SysteemAan = false;
    std::string LaatsteFout;
    uint16_t LenzLogMasker = 0;

    // The file the log goes to (see LogNaarBestand).
    static std::string LogPath();

    // The port's own handlers, installed as OnBeforeOpen / OnBeforeClose.
    void VoorOpenen(serial::TCustomComPort* Sender);
    void VoorSluiten(serial::TCustomComPort* Sender);

private:
    TLenzAddTekst onLenzAddTekst_;
};

} // namespace command_station
