// Every stored setting of a port: one text of them all, so a mismatch shows
// which one, and a change of every one away from its default.
#pragma once

#include "serial/CPort.h"

#include <sstream>
#include <string>

namespace testsupport {

inline const serial::TStoredGroups kAllGroups{serial::sgBasic,    serial::sgFlowControl,
                                              serial::sgBuffer,   serial::sgTimeouts,
                                              serial::sgParity,   serial::sgOthers};

// Every stored setting as one text, so a mismatch shows which one.
inline std::string Settings(const serial::TCustomComPort& p) {
    std::ostringstream s;
    const auto& f = p.FlowControl();
    s << "Port=" << p.Port() << " Baud=" << int(p.BaudRate()) << "/" << p.CustomBaudRate()
      << " Stop=" << int(p.StopBits()) << " Data=" << int(p.DataBits())
      << " EventChar=" << int(p.EventChar()) << " DiscardNull=" << p.DiscardNull()
      << " Parity=" << int(p.Parity().Bits()) << "," << p.Parity().Check() << ","
      << p.Parity().Replace() << "," << int(p.Parity().ReplaceChar())
      << " Buffer=" << p.Buffer().OutputSize() << "," << p.Buffer().InputSize()
      << " Timeouts=" << p.Timeouts().ReadInterval() << "," << p.Timeouts().ReadTotalConstant()
      << "," << p.Timeouts().ReadTotalMultiplier() << "," << p.Timeouts().WriteTotalConstant()
      << "," << p.Timeouts().WriteTotalMultiplier() << " Flow=" << int(f.ControlRTS()) << ","
      << int(f.ControlDTR()) << "," << f.DSRSensitivity() << "," << f.OutCTSFlow() << ","
      << f.OutDSRFlow() << "," << f.TxContinueOnXoff() << "," << f.XonXoffIn() << ","
      << f.XonXoffOut() << "," << int(f.XoffChar()) << "," << int(f.XonChar());
    return s.str();
}

// A value other than the default for every stored setting, each distinct
// from its neighbours so a swapped name shows.
inline void ChangeEverySetting(serial::TCustomComPort& p) {
    using namespace serial;
    p.SetPort("/dev/ttyQ9");
    p.SetCustomBaudRate(31250);
    p.SetBaudRate(brCustom);
    p.SetStopBits(sbTwoStopBits);
    p.SetDataBits(dbSeven);
    p.SetEventChar(10);
    p.SetDiscardNull(true);
    p.Parity().SetBits(prMark);
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar(127); // stored as itself, a DEL byte in the file
    p.Buffer().SetOutputSize(4096);
    p.Buffer().SetInputSize(2048);
    p.Timeouts().SetReadInterval(5);
    p.Timeouts().SetReadTotalConstant(6);
    p.Timeouts().SetReadTotalMultiplier(7);
    p.Timeouts().SetWriteTotalConstant(8);
    p.Timeouts().SetWriteTotalMultiplier(9);
    auto& f = p.FlowControl();
    f.SetControlRTS(rtsToggle);
    f.SetControlDTR(dtrHandshake);
    f.SetDSRSensitivity(true);
    f.SetOutCTSFlow(true);
    f.SetOutDSRFlow(true);
    f.SetTxContinueOnXoff(true);
    f.SetXonXoffIn(true);
    f.SetXoffChar(200);
    f.SetXonChar(1);
}

} // namespace testsupport
