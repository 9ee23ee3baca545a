// The four setting objects a port owns (parity, flow control, time-outs,
// buffer sizes), and the texts of the settings as lists and stored settings
// show them. A setter stores a changed value and lets its port re-apply the
// group; on its own (no port) an object only stores.
#pragma once

#include "serial/ComTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace serial {

class TCustomComPort;

class TComParity {
  public:
    TParityBits Bits() const { return bits_; }
    void SetBits(TParityBits v);
    bool Check() const { return check_; }
    void SetCheck(bool v);
    bool Replace() const { return replace_; }
    void SetReplace(bool v);
    uint8_t ReplaceChar() const { return replaceChar_; }
    void SetReplaceChar(uint8_t v);

    // Copies every field; applies nothing by itself.
    void Assign(const TComParity& other);
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }

  private:
    void Changed();
    TCustomComPort* port_ = nullptr;
    TParityBits bits_ = prNone;
    bool check_ = false;
    bool replace_ = false;
    uint8_t replaceChar_ = 0;
};

class TComFlowControl {
  public:
    bool OutCTSFlow() const { return outCTSFlow_; }
    void SetOutCTSFlow(bool v);
    bool OutDSRFlow() const { return outDSRFlow_; }
    void SetOutDSRFlow(bool v);
    TDTRFlowControl ControlDTR() const { return controlDTR_; }
    void SetControlDTR(TDTRFlowControl v);
    TRTSFlowControl ControlRTS() const { return controlRTS_; }
    void SetControlRTS(TRTSFlowControl v);
    bool XonXoffOut() const { return xonXoffOut_; }
    void SetXonXoffOut(bool v);
    bool XonXoffIn() const { return xonXoffIn_; }
    void SetXonXoffIn(bool v);
    bool DSRSensitivity() const { return dsrSensitivity_; }
    void SetDSRSensitivity(bool v);
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    void SetTxContinueOnXoff(bool v);
    uint8_t XonChar() const { return xonChar_; }
    void SetXonChar(uint8_t v);
    uint8_t XoffChar() const { return xoffChar_; }
    void SetXoffChar(uint8_t v);

    // The preset the fields amount to, and setting one (always re-applies).
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

    void Assign(const TComFlowControl& other);
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }

  private:
    void Changed();
    TCustomComPort* port_ = nullptr;
    bool outCTSFlow_ = false;
    bool outDSRFlow_ = false;
    TDTRFlowControl controlDTR_ = dtrDisable;
    TRTSFlowControl controlRTS_ = rtsDisable;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    uint8_t xonChar_ = 17;
    uint8_t xoffChar_ = 19;
};

class TComTimeouts {
  public:
    int32_t ReadInterval() const { return readInterval_; }
    void SetReadInterval(int32_t v);
    int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
    void SetReadTotalMultiplier(int32_t v);
    int32_t ReadTotalConstant() const { return readTotalConstant_; }
    void SetReadTotalConstant(int32_t v);
    int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
    void SetWriteTotalMultiplier(int32_t v);
    int32_t WriteTotalConstant() const { return writeTotalConstant_; }
    void SetWriteTotalConstant(int32_t v);

    void Assign(const TComTimeouts& other);
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }

  private:
    void Changed();
    TCustomComPort* port_ = nullptr;
    int32_t readInterval_ = -1;
    int32_t readTotalMultiplier_ = 0;
    int32_t readTotalConstant_ = 0;
    int32_t writeTotalMultiplier_ = 100;
    int32_t writeTotalConstant_ = 1000;
};

class TComBuffer {
  public:
    int32_t InputSize() const { return inputSize_; }
    void SetInputSize(int32_t v); // an odd positive size is stored one lower
    int32_t OutputSize() const { return outputSize_; }
    void SetOutputSize(int32_t v);

    void Assign(const TComBuffer& other);
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }

  private:
    void Changed();
    TCustomComPort* port_ = nullptr;
    int32_t inputSize_ = 1024;
    int32_t outputSize_ = 1024;
};

// The driver value of a baud-rate ordinal (0 for brCustom).
int32_t BaudRateValue(TBaudRate rate);
// Its inverse: the ordinal whose driver value is `value`; brCustom when no
// listed rate has that value.
TBaudRate BaudRateOfValue(int64_t value);

// ---------------------------------------------------------------- texts

// The text of a setting's ordinal as lists show it ("9600", "1.5", "Odd", ...);
// empty for an ordinal outside the enumeration.
std::string BaudRateName(TBaudRate v);
std::string DataBitsName(TDataBits v);
std::string StopBitsName(TStopBits v);
std::string ParityName(TParityBits v);
std::string FlowControlName(TFlowControl v);

// The ordinal whose text equals `text`, ignoring the case of ASCII letters.
// A text that matches none gives br9600, dbEight, sbOneStopBit, prNone and
// fcCustom respectively.
TBaudRate ParseBaudRate(const std::string& text);
TDataBits ParseDataBits(const std::string& text);
TStopBits ParseStopBits(const std::string& text);
TParityBits ParseParity(const std::string& text);
TFlowControl ParseFlowControl(const std::string& text);

// The texts of the flow-control fields in stored settings: "Disable",
// "Enable", "Handshake" (and "Toggle" for RTS). Parsing ignores the case of
// ASCII letters; a text that matches none gives dtrDisable / rtsDisable.
std::string DTRControlName(TDTRFlowControl v);
TDTRFlowControl ParseDTRControl(const std::string& text);
std::string RTSControlName(TRTSFlowControl v);
TRTSFlowControl ParseRTSControl(const std::string& text);

// "Yes" / "No"; only a text that is "YES" in any case parses as true.
std::string YesNoText(bool v);
bool ParseYesNo(const std::string& text);

// A byte as stored text: 33..127 as the character itself, every other byte
// as "#" and its decimal value (17 gives "#17"). Parsing: empty gives 0; a
// text that does not start with "#", or "#" alone, gives its first
// character; else the decimal number after "#" taken modulo 256, and 0 when
// that is not a number.
std::string CharText(uint8_t v);
uint8_t ParseCharText(const std::string& text);

// A signed 32-bit decimal number: an optional sign and digits, nothing
// else. False (and `out` untouched) for any other text or a value outside
// 32 bits.
bool ParseDecimalInt32(const std::string& text, int32_t& out);

// The item texts of each setting, in ordinal order.
const std::vector<std::string>& BaudRateNames();
const std::vector<std::string>& DataBitsNames();
const std::vector<std::string>& StopBitsNames();
const std::vector<std::string>& ParityNames();
const std::vector<std::string>& FlowControlNames();

// Equality and ordering of texts that ignore the case of ASCII letters only
// (port names and setting texts are ASCII; no locale may change that).
bool SameTextNoCase(const std::string& a, const std::string& b);
bool LessTextNoCase(const std::string& a, const std::string& b);

} // namespace serial
