// The serial layer's shared vocabulary: the setting enumerations, the set
// type over them, and EComPort, the one exception every failed platform call
// raises. Hosts include serial/CPort.h, which brings these along.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace serial {

// ---------------------------------------------------------------- enumerations

enum TBaudRate : uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
enum TComError : uint8_t {
    ceFrame,
    ceRxParity,
    ceOverrun,
    ceBreak,
    ceIO,
    ceMode,
    ceRxOver,
    ceTxFull
};
enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };

// A set over an enumeration's ordinals: bit n stands for member n.
template <typename E, typename Bits> class TSet {
  public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> members) {
        for (E m : members)
            bits_ = static_cast<Bits>(bits_ | Bit(m));
    }
    static constexpr TSet FromBits(Bits bits) {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr Bits ToBits() const { return bits_; }
    constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr void Include(E m) { bits_ = static_cast<Bits>(bits_ | Bit(m)); }
    constexpr void Exclude(E m) { bits_ = static_cast<Bits>(bits_ & ~Bit(m)); }
    constexpr bool operator==(const TSet&) const = default;
    constexpr TSet operator+(TSet o) const { return FromBits(static_cast<Bits>(bits_ | o.bits_)); }
    constexpr TSet operator-(TSet o) const { return FromBits(static_cast<Bits>(bits_ & ~o.bits_)); }

  private:
    static constexpr Bits Bit(E m) {
        return static_cast<Bits>(Bits{1} << static_cast<unsigned>(m));
    }
    Bits bits_ = 0;
};

using TComEvents = TSet<TComEvent, uint16_t>;
using TComErrors = TSet<TComError, uint8_t>;
inline constexpr TComEvents AllComEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak,
                                         evCTS,    evDSR,     evError,  evRLSD, evRx80Full};

// The modem lines as ModemSignals() reports them; a bit is set while the line is on.
enum TComSignal : uint8_t { csCTS, csDSR, csRing, csRLSD };
using TComSignals = TSet<TComSignal, uint8_t>;

// The setting groups that storing and loading a port's settings take part
// in (the port's StoredGroups); sgOthers holds EventChar and DiscardNull.
enum TStoredGroup : uint8_t { sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers };
using TStoredGroups = TSet<TStoredGroup, uint8_t>;

// ---------------------------------------------------------------- errors

// The serial layer's one exception: a port error code (1..23) with its fixed
// (translated) text and the operating system's error number, -1 when none.
class EComPort : public std::runtime_error {
  public:
    // Without an operating-system error: OsErrorCode() is -1.
    explicit EComPort(int portErrorCode);
    // With one: the message carries the suffix " (win error code: N)".
    EComPort(int portErrorCode, int osErrorCode);
    // With what failed and where (a file, a store, a value): the message is
    // the text, ": ", the detail, and the suffix when osErrorCode is not -1.
    EComPort(int portErrorCode, int osErrorCode, const std::string& detail);

    int PortErrorCode() const { return portErrorCode_; }
    int OsErrorCode() const { return osErrorCode_; }

  private:
    int osErrorCode_;
    int portErrorCode_;
};

// The untranslated text of a port error code (1..23); empty for others.
std::string ComErrorText(int portErrorCode);
// Passes the 23 texts through the message catalogues once and adds the
// "cport" domain; runs by itself on first use, the program calls it at start.
void InitSerialLayer();

} // namespace serial
