#include "command_station/MivoComm.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace command_station {

using namespace serial;

namespace {

// Guard messages.
constexpr const char* kSetSysteemOnbekend = "TMivoCom.SetDigitaalSysteem nog aanvullen";
constexpr const char* kVerbindingOnbekend = "TMivoCom.GetVerbindingOke nog aanvullen!";
constexpr const char* kNoodstopOnbekend = "TMivoCom.GetSysteemNoodstop nog aanvullen!";
constexpr const char* kAlleenSelectrix =
    "TMivoCom.SelectrixFunctieDecoder alleen van toepassing bij Selectrix!";
constexpr const char* kAlleenMarklin = "TMivoCom.CheckCTS alleen van toepassing bij Märklin!";

// Initialisation failures, left in LaatsteFout.
constexpr const char* kKaartFout =
    "De seriele kaart kon niet worden geinitialiseerd. Staat het rek wel aan en is de "
    "verbindingskabel juist aangesloten?";
constexpr const char* kIBFout = "Geen Intellibox of TWIN-Center gevonden!";
constexpr const char* kDinamoFout = "Geen communicatie met DINAMO mogelijk!";

constexpr size_t kLogMaxBytes = 100;

bool BekendSysteem(uint8_t systeem) {
    return systeem >= dsSelectrix && systeem <= dsDinamo;
}

[[noreturn]] void RaiseLogError(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Creates every missing folder of `path` with mode 0700.
void CreateFolders(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) RaiseLogError("mkdir " + part);
    }
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    passwd* pw = getpwuid(geteuid());
    if (pw && pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
    errno = ENOENT;
    RaiseLogError("no home folder for the log");
}

// The log folder when no override is set.
std::string LogFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base =
        (state && state[0] == '/') ? std::string(state) : HomeFolder() + "/.local/state";
    return base + "/quorrin";
}

// Opens the private log folder without following a link and checks that
// nobody else can put entries into it.
int OpenPrivateFolder(const std::string& folder) {
    CreateFolders(folder);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) RaiseLogError("open " + folder);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        RaiseLogError("stat " + folder);
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        errno = EPERM;
        RaiseLogError("log folder " + folder + " is not private");
    }
    return fd;
}

void WriteAll(int fd, const std::string& data, const std::string& path) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            errno = e;
            RaiseLogError("write " + path);
        }
        done += static_cast<size_t>(n);
    }
}

} // namespace

// ---------------------------------------------------------------- pure helpers

std::string StuurLocTekst(uint8_t systeem, uint16_t adres, uint8_t snelheid, bool licht,
                          bool vooruit, const TFuncties& functies) {
    std::string t = "Adres: " + std::to_string(adres) + " snelheid: " + std::to_string(snelheid);
    t += licht ? " licht aan" : " licht uit";
    if (systeem != dsMarklin) t += vooruit ? " vooruit" : " achteruit";
    t += functies[0] ? "(x" : "(-";
    t += functies[1] ? "x" : "-";
    t += functies[2] ? "x" : "-";
    t += functies[3] ? "x)" : "-)";
    return t;
}

std::string LogRegel(uint32_t tick, const std::string& bytes) {
    std::string line = std::to_string(tick) + ": ";
    size_t n = std::min(bytes.size(), kLogMaxBytes);
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) line += '/';
        line += std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    return line;
}

void TMivoCom::ProcessMessagesBriefly(uint32_t remainingMs) {
    platform::Host().ProcessMessages();
    if (remainingMs > 0) platform::MainQueue().WaitForWork(std::min<uint32_t>(remainingMs, 5));
}

// ---------------------------------------------------------------- life cycle

TMivoCom::TMivoCom(void* owner) : TComPort(owner) {
    // The name the main window gives its one component; stored settings use
    // it as their section.
    SetName("MivoCom1");
    OnBeforeOpen = [this](TCustomComPort* sender) { VoorOpenen(sender); };
    OnBeforeClose = [this](TCustomComPort* sender) { VoorSluiten(sender); };
}

TMivoCom::~TMivoCom() {
    // Close while this object is whole: VoorSluiten may still switch the
    // system off. A destructor cannot pass an error on, so a failing close
    // goes to the application's error report instead.
    try {
        ClosePort();
    } catch (...) {
        platform::Host().ReportException(std::current_exception());
    }
    // The base class may try to close again; our handlers must not run then.
    OnBeforeOpen = nullptr;
    OnBeforeClose = nullptr;
    OnRxChar = nullptr;
    MarklinAchtergehouden.reset();
    LenzRij.reset();
    IBAchtergehouden.reset();
    DinamoRij.reset();
}

void TMivoCom::VoorOpenen(TCustomComPort*) {
    KaartVoorOpenen();
    LenzSynchroniseren = false;
    IBGevonden = false;
    KaartGeinitialiseerd = false;
}

void TMivoCom::VoorSluiten(TCustomComPort*) {
    if (!Connected()) return;
    if (SysteemAan) {
        if (DigitaalSysteem == dsLenz)
            LenzUitBijSluiten(); // ahead of whatever waits in the queue
        else
            ZetSysteemUit();
    }
    if (DigitaalSysteem == dsSerieleKaart) KaartVoorSluiten();
    if (DigitaalSysteem == dsIntellibox) IBVoorSluiten();
    IBGevonden = false;
    KaartGeinitialiseerd = false;
}

// ---------------------------------------------------------------- profiles

void TMivoCom::SetDigitaalSysteem(uint8_t systeem) {
    BeginSettingsUpdate();
    try {
        DigitaalSysteem = systeem;
        PasProfielToe(systeem);
        if (!BekendSysteem(systeem)) platform::Host().ShowMessage(kSetSysteemOnbekend);
    } catch (...) {
        EndSettingsUpdate();
        throw;
    }
    EndSettingsUpdate();
}

void TMivoCom::PasProfielToe(uint8_t systeem) {
    // The settings every system starts from.
    SetDataBits(dbEight);
    SetStopBits(sbTwoStopBits);
    Parity().SetCheck(false);
    FlowControl().SetFlowControl(fcNone);
    FlowControl().SetControlDTR(dtrDisable);
    Buffer().SetInputSize(1024);
    Buffer().SetOutputSize(1024);
    Timeouts().SetReadInterval(20);
    Timeouts().SetReadTotalMultiplier(25);
    Timeouts().SetReadTotalConstant(15);
    Timeouts().SetWriteTotalMultiplier(1000);
    Timeouts().SetWriteTotalConstant(1500);
    SetEvents(TComEvents{});
    OnRxChar = nullptr;
    IBDoelBaud = brCustom;
    KaartSnelGewenst = false; // every profile sets a rate of its own

    switch (systeem) {
    case dsSelectrix:
        SetBaudRate(br9600);
        break;
    case dsMarklin:
        SetBaudRate(MarklinSnel ? br19200 : br2400);
        FlowControl().SetFlowControl(fcHardware);
        FlowControl().SetControlDTR(dtrEnable);
        break;
    case dsLenz:
        SetBaudRate(br9600);
        SetStopBits(sbOneStopBit);
        FlowControl().SetFlowControl(fcHardware);
        SetEvents(Events() + TComEvents{evRxChar});
        OnRxChar = [this](TCustomComPort* sender, int count) { LenzOntvang(sender, count); };
        LenzInvoer.clear();
        LenzSynchroniseren = false;
        if (!LenzRij) LenzRij = std::make_unique<TBytesLijst>();
        break;
    case dsSerieleKaart:
        SetBaudRate(br9600);
        SetStopBits(sbOneStopBit);
        FlowControl().SetControlDTR(dtrEnable);
        Timeouts().SetReadInterval(10);
        Timeouts().SetReadTotalMultiplier(0);
        Timeouts().SetReadTotalConstant(100);
        Timeouts().SetWriteTotalMultiplier(0);
        Timeouts().SetWriteTotalConstant(100);
        break;
    case dsIntellibox:
        SetBaudRate(br2400);
        FlowControl().SetFlowControl(fcHardware);
        Buffer().SetInputSize(1024);
        Buffer().SetOutputSize(512);
        Timeouts().SetReadInterval(200);
        Timeouts().SetReadTotalMultiplier(250);
        Timeouts().SetReadTotalConstant(150);
        Timeouts().SetWriteTotalMultiplier(750);
        Timeouts().SetWriteTotalConstant(100);
        break;
    case dsDinamo:
        SetBaudRate(br9600);
        SetStopBits(sbOneStopBit);
        Parity().SetCheck(true);
        Parity().SetBits(prOdd);
        DinamoInvoer.clear();
        if (!DinamoRij) DinamoRij = std::make_unique<TBytesLijst>();
        break;
    default:
        break; // the common settings stay; the caller shows the guard message
    }
}

// ---------------------------------------------------------------- events

void TMivoCom::SetOnLenzAddTekst(TLenzAddTekst handler) {
    onLenzAddTekst_ = std::move(handler);
    if (!onLenzAddTekst_) LenzLogMasker = 0;
}

void TMivoCom::DoAlgTekst(TAlgAct AAct, const std::string& ATekst) {
    if (OnAlgTekst) OnAlgTekst(AAct, ATekst);
}

void TMivoCom::DoLenzAddTekst(const std::string& ATekst) {
    if (onLenzAddTekst_) onLenzAddTekst_(ATekst);
}

void TMivoCom::DoIBAddTekst(const std::string& ATekst) {
    if (OnIBAddTekst) OnIBAddTekst(ATekst);
}

void TMivoCom::DoLenzDoeIets(TLenzAktie AAktie, uint16_t AData1, uint16_t AData2, uint8_t AData3,
                             double AData4) {
    if (OnLenzDoeIets) OnLenzDoeIets(AAktie, AData1, AData2, AData3, AData4);
}

void TMivoCom::DoDinDoeIets(TDinAktie AAktie, uint16_t AData1, uint16_t AData2, uint16_t AData3,
                            uint16_t AData4) {
    if (OnDinDoeIets) OnDinDoeIets(AAktie, AData1, AData2, AData3, AData4);
}

// ---------------------------------------------------------------- dispatch
//
// DINAMO sends nothing here by design: its link runs in DinamoCyclus
// (Dinamo.cpp).

bool TMivoCom::GetVerbindingOke() {
    if (!Connected()) return false;
    switch (DigitaalSysteem) {
    case dsSelectrix:
        return SelectrixVerbindingOke();
    case dsMarklin:
        return CheckCTS();
    case dsLenz:
        return GetLenzVersie() > 0.0;
    case dsSerieleKaart:
        return KaartVerbindingOke();
    case dsIntellibox:
        return IBVerbindingOke();
    case dsDinamo:
        return true;
    default:
        platform::Host().ShowMessage(kVerbindingOnbekend);
        return false;
    }
}

bool TMivoCom::GetSysteemNoodstop() {
    if (!Connected()) return false;
    switch (DigitaalSysteem) {
    case dsSelectrix:
        return SelectrixNoodstop();
    case dsMarklin:
        return !CheckCTS();
    case dsLenz:
    case dsSerieleKaart:
    case dsIntellibox:
        return false;
    default:
        platform::Host().ShowMessage(kNoodstopOnbekend);
        return false;
    }
}

bool TMivoCom::ZetSysteemAan() {
    if (!Connected()) {
        SysteemAan = true;
        return true;
    }
    switch (DigitaalSysteem) {
    case dsSelectrix:
        SelectrixZetAan();
        break;
    case dsMarklin:
        if (!MarklinZetAan()) return false;
        break;
    case dsLenz:
        LenzZetAan();
        break;
    case dsIntellibox:
        return IBZetAan();
    default:
        break; // the serial card, DINAMO and unknown systems send nothing
    }
    SysteemAan = true;
    return true;
}

void TMivoCom::ZetSysteemUit() {
    if (!Connected()) {
        SysteemAan = false;
        return;
    }
    if (DigitaalSysteem == dsSelectrix) SelectrixZetUit();
    if (DigitaalSysteem == dsLenz) LenzZetUit();
    if (DigitaalSysteem == dsIntellibox) return IBZetUit();
    if (DigitaalSysteem == dsMarklin) MarklinZetUit();
    SysteemAan = false;
}

void TMivoCom::StuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                        const TFuncties& Functies, uint8_t LenzStappen, uint8_t IBStappen,
                        bool IBOudProtocol, std::string& Resultaat) {
    Resultaat.clear();
    if (OnAlgTekst)
        DoAlgTekst(aaLoc,
                   StuurLocTekst(DigitaalSysteem, Adres, Snelheid, Licht, Vooruit, Functies));
    if (DigitaalSysteem == dsSelectrix)
        SelectrixStuurLoc(Adres, Snelheid, Licht, Vooruit, Functies, Resultaat);
    if (DigitaalSysteem == dsLenz)
        LenzStuurLoc(Adres, Snelheid, Licht, Vooruit, Functies, LenzStappen, Resultaat);
    if (DigitaalSysteem == dsIntellibox)
        IBStuurLoc(Adres, Snelheid, Licht, Vooruit, Functies, IBStappen, IBOudProtocol);
    if (DigitaalSysteem == dsMarklin) {
        uint8_t b = MarklinLocByte(Snelheid, Licht);
        MarklinZendLoc(b, static_cast<uint8_t>(Adres % 256));
        Resultaat.assign(1, static_cast<char>(b));
    }
}

void TMivoCom::GetBezetmelder(uint8_t Adres, uint8_t Verzoek, bool Vlag1, bool Vlag2,
                              std::string& Resultaat) {
    Resultaat.clear();
    if (!Connected()) return;
    if (DigitaalSysteem == dsSelectrix) SelectrixBezetmelder(Adres, Resultaat);
    if (DigitaalSysteem == dsLenz) LenzBezetmelder(Adres); // answers arrive as events
    if (DigitaalSysteem == dsIntellibox) IBBezetmelder();
    if (DigitaalSysteem == dsMarklin) MarklinBezetmelder(Adres, Vlag1, Resultaat);
    if (DigitaalSysteem == dsSerieleKaart) KaartBezetmelder(Adres, Verzoek, Vlag2, Resultaat);
}

bool TMivoCom::InitSysteem() {
    LaatsteFout.clear();
    switch (DigitaalSysteem) {
    case dsSerieleKaart:
        if (!KaartGeinitialiseerd) KaartGeinitialiseerd = KaartInit();
        if (!KaartGeinitialiseerd) {
            LaatsteFout = kKaartFout;
            return false;
        }
        return true;
    case dsIntellibox:
        if (!IBGevonden) IBGevonden = IBZoek();
        if (!IBGevonden) {
            LaatsteFout = kIBFout;
            return false;
        }
        return true;
    case dsDinamo:
        if (!Connected()) return false;
        if (DinamoVerbind()) return true;
        LaatsteFout = kDinamoFout;
        return false;
    default:
        return true;
    }
}

// ---------------------------------------------------------------- helpers

bool TMivoCom::CtsVrij() {
    if (!Connected()) return true;
    return (LineHoldFlags() & 0x01) == 0; // bit 0: waiting for CTS
}

bool TMivoCom::CheckCTS() {
    if (!Connected()) return true;
    if (DigitaalSysteem != dsMarklin) {
        platform::Host().ShowMessage(kAlleenMarklin);
        return true;
    }
    platform::Deadline deadline = platform::Deadline::After(1000);
    for (;;) {
        if (CtsVrij()) return true;
        if (deadline.Reached()) return false;
        ProcessMessagesBriefly(deadline.Remaining());
    }
}

void TMivoCom::SelectrixFunctieDecoder(uint8_t Adres, uint8_t Waarde) {
    if (!Connected()) return;
    if (DigitaalSysteem != dsSelectrix) {
        platform::Host().ShowMessage(kAlleenSelectrix);
        return;
    }
    VerstuurBytes(SelectrixSchrijfVerzoek(Adres, Waarde));
}

void TMivoCom::VerstuurBytes(const std::string& bytes) {
    bool marklin = DigitaalSysteem == dsMarklin;
    if (marklin) MarklinWacht(marklinZending_);
    if (Connected()) WriteText(bytes);
    if (LogNaarBestandAan) LogNaarBestand(bytes);
    if (marklin) MarklinZet(MarklinVolgendeZending, marklinZending_, MarklinBytePauze);
}

bool TMivoCom::WachtOpInvoer(uint16_t count, uint16_t timeoutMs) {
    if (!Connected()) return false;
    platform::Deadline deadline = platform::Deadline::After(timeoutMs);
    bool readableSeen = false;
    for (;;) {
        int waiting = PendingInputCount();
        if (waiting >= count) return true;
        uint32_t remaining = deadline.Remaining();
        if (remaining == 0) return false;
        // Block until the line is readable. Once it has been (bytes wait but
        // too few, or a hang-up that reads as readable) that is no news any
        // more, so then pause briefly instead.
        ComDevice* device = Device();
        bool ready = false;
        if (waiting > 0 || readableSeen || !device ||
            device->WaitReadable(static_cast<int>(remaining), ready) != 0) {
            platform::Sleep(std::min<uint32_t>(remaining, 2));
        } else {
            readableSeen = ready;
        }
    }
}

// ---------------------------------------------------------------- file log

std::string TMivoCom::LogPath() {
    const char* forced = std::getenv("QUORRIN_VASKEL_LOG");
    if (forced && forced[0] != '\0') return forced;
    return LogFolder() + "/vaskel.log";
}

void TMivoCom::LogNaarBestand(const std::string& bytes) {
    // Non-blocking: a FIFO without a reader would otherwise hold the open
    // forever. Only a regular file is written (see below).
    constexpr int kFlags =
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    std::string line = LogRegel(platform::GetTickCount(), bytes) + "\n";
    std::string path = LogPath();
    int fd;
    const char* forced = std::getenv("QUORRIN_VASKEL_LOG");
    if (forced && forced[0] != '\0') {
        fd = open(path.c_str(), kFlags, 0600);
    } else {
        std::string folder = LogFolder();
        int dir = OpenPrivateFolder(folder);
        fd = openat(dir, "vaskel.log", kFlags, 0600);
        int e = errno;
        close(dir);
        errno = e;
    }
    if (fd < 0) RaiseLogError("open " + path);
    struct stat st {};
    if (int e = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL) {
        close(fd);
        errno = e;
        RaiseLogError("log " + path + " is not a regular file");
    }
    WriteAll(fd, line, path);
    if (close(fd) != 0) RaiseLogError("close " + path);
}

} // namespace command_station
