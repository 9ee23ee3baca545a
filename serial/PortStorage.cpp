// Storing and loading a port's settings: one table of the stored values
// (name, group, kind, how to read the setting and how to assign it), walked
// in order by the four operations for both kinds of store.
#include "serial/CPort.h"

#include <array>
#include <stdexcept>

namespace serial {
namespace {

enum class Kind { Text, Integer };

struct StoredValue {
    TStoredGroup group;
    const char* name;
    Kind kind;
    std::string (*text)(const TCustomComPort&);
    void (*assignText)(TCustomComPort&, const std::string&);
    int32_t (*integer)(const TCustomComPort&);
    void (*assignInteger)(TCustomComPort&, int32_t);
};

using P = TCustomComPort;
using S = const std::string&;

StoredValue Text(TStoredGroup g, const char* name, std::string (*get)(const P&),
                 void (*set)(P&, S)) {
    return {g, name, Kind::Text, get, set, nullptr, nullptr};
}
StoredValue Integer(TStoredGroup g, const char* name, int32_t (*get)(const P&),
                    void (*set)(P&, int32_t)) {
    return {g, name, Kind::Integer, nullptr, nullptr, get, set};
}

constexpr const char* kCustomBaudRate = "CustomBaudRate";
// The ini default of a CustomBaudRate that is not there.
constexpr int32_t kCustomBaudRateDefault = 9600;

// In the order they are written and read: groups basic, others, parity,
// buffer, time-outs, flow control. Port comes first, so a re-open happens
// before the line settings follow.
const std::array<StoredValue, 29>& Table() {
    static const std::array<StoredValue, 29> table{
        Text(
            sgBasic, "Port", [](const P& p) { return p.Port(); }, [](P& p, S v) { p.SetPort(v); }),
        Text(
            sgBasic, "BaudRate", [](const P& p) { return BaudRateName(p.BaudRate()); },
            [](P& p, S v) { p.SetBaudRate(ParseBaudRate(v)); }),
        Integer(
            sgBasic, kCustomBaudRate, [](const P& p) { return p.CustomBaudRate(); },
            [](P& p, int32_t v) { p.SetCustomBaudRate(v); }),
        Text(
            sgBasic, "StopBits", [](const P& p) { return StopBitsName(p.StopBits()); },
            [](P& p, S v) { p.SetStopBits(ParseStopBits(v)); }),
        Text(
            sgBasic, "DataBits", [](const P& p) { return DataBitsName(p.DataBits()); },
            [](P& p, S v) { p.SetDataBits(ParseDataBits(v)); }),
        Text(
            sgBasic, "Parity", [](const P& p) { return ParityName(p.Parity().Bits()); },
            [](P& p, S v) { p.Parity().SetBits(ParseParity(v)); }),
        Text(
            sgBasic, "FlowControl",
            [](const P& p) { return FlowControlName(p.FlowControl().FlowControl()); },
            [](P& p, S v) { p.FlowControl().SetFlowControl(ParseFlowControl(v)); }),

        Text(
            sgOthers, "EventChar", [](const P& p) { return CharText(p.EventChar()); },
            [](P& p, S v) { p.SetEventChar(ParseCharText(v)); }),
        Text(
            sgOthers, "DiscardNull", [](const P& p) { return YesNoText(p.DiscardNull()); },
            [](P& p, S v) { p.SetDiscardNull(ParseYesNo(v)); }),

        Text(
            sgParity, "Parity.Check", [](const P& p) { return YesNoText(p.Parity().Check()); },
            [](P& p, S v) { p.Parity().SetCheck(ParseYesNo(v)); }),
        Text(
            sgParity, "Parity.Replace", [](const P& p) { return YesNoText(p.Parity().Replace()); },
            [](P& p, S v) { p.Parity().SetReplace(ParseYesNo(v)); }),
        Text(
            sgParity, "Parity.ReplaceChar",
            [](const P& p) { return CharText(p.Parity().ReplaceChar()); },
            [](P& p, S v) { p.Parity().SetReplaceChar(ParseCharText(v)); }),

        Integer(
            sgBuffer, "Buffer.OutputSize", [](const P& p) { return p.Buffer().OutputSize(); },
            [](P& p, int32_t v) { p.Buffer().SetOutputSize(v); }),
        Integer(
            sgBuffer, "Buffer.InputSize", [](const P& p) { return p.Buffer().InputSize(); },
            [](P& p, int32_t v) { p.Buffer().SetInputSize(v); }),

        Integer(
            sgTimeouts, "Timeouts.ReadInterval",
            [](const P& p) { return p.Timeouts().ReadInterval(); },
            [](P& p, int32_t v) { p.Timeouts().SetReadInterval(v); }),
        Integer(
            sgTimeouts, "Timeouts.ReadTotalConstant",
            [](const P& p) { return p.Timeouts().ReadTotalConstant(); },
            [](P& p, int32_t v) { p.Timeouts().SetReadTotalConstant(v); }),
        Integer(
            sgTimeouts, "Timeouts.ReadTotalMultiplier",
            [](const P& p) { return p.Timeouts().ReadTotalMultiplier(); },
            [](P& p, int32_t v) { p.Timeouts().SetReadTotalMultiplier(v); }),
        Integer(
            sgTimeouts, "Timeouts.WriteTotalConstant",
            [](const P& p) { return p.Timeouts().WriteTotalConstant(); },
            [](P& p, int32_t v) { p.Timeouts().SetWriteTotalConstant(v); }),
        Integer(
            sgTimeouts, "Timeouts.WriteTotalMultiplier",
            [](const P& p) { return p.Timeouts().WriteTotalMultiplier(); },
            [](P& p, int32_t v) { p.Timeouts().SetWriteTotalMultiplier(v); }),

        Text(
            sgFlowControl, "FlowControl.ControlRTS",
            [](const P& p) { return RTSControlName(p.FlowControl().ControlRTS()); },
            [](P& p, S v) { p.FlowControl().SetControlRTS(ParseRTSControl(v)); }),
        Text(
            sgFlowControl, "FlowControl.ControlDTR",
            [](const P& p) { return DTRControlName(p.FlowControl().ControlDTR()); },
            [](P& p, S v) { p.FlowControl().SetControlDTR(ParseDTRControl(v)); }),
        Text(
            sgFlowControl, "FlowControl.DSRSensitivity",
            [](const P& p) { return YesNoText(p.FlowControl().DSRSensitivity()); },
            [](P& p, S v) { p.FlowControl().SetDSRSensitivity(ParseYesNo(v)); }),
        Text(
            sgFlowControl, "FlowControl.OutCTSFlow",
            [](const P& p) { return YesNoText(p.FlowControl().OutCTSFlow()); },
            [](P& p, S v) { p.FlowControl().SetOutCTSFlow(ParseYesNo(v)); }),
        Text(
            sgFlowControl, "FlowControl.OutDSRFlow",
            [](const P& p) { return YesNoText(p.FlowControl().OutDSRFlow()); },
            [](P& p, S v) { p.FlowControl().SetOutDSRFlow(ParseYesNo(v)); }),
        Text(
            sgFlowControl, "FlowControl.TxContinueOnXoff",
            [](const P& p) { return YesNoText(p.FlowControl().TxContinueOnXoff()); },
            [](P& p, S v) { p.FlowControl().SetTxContinueOnXoff(ParseYesNo(v)); }),
        Text(
            sgFlowControl, "FlowControl.XonXoffIn",
            [](const P& p) { return YesNoText(p.FlowControl().XonXoffIn()); },
            [](P& p, S v) { p.FlowControl().SetXonXoffIn(ParseYesNo(v)); }),
        Text(
            sgFlowControl, "FlowControl.XonXoffOut",
            [](const P& p) { return YesNoText(p.FlowControl().XonXoffOut()); },
            [](P& p, S v) { p.FlowControl().SetXonXoffOut(ParseYesNo(v)); }),
        Text(
            sgFlowControl, "FlowControl.XoffChar",
            [](const P& p) { return CharText(p.FlowControl().XoffChar()); },
            [](P& p, S v) { p.FlowControl().SetXoffChar(ParseCharText(v)); }),
        Text(
            sgFlowControl, "FlowControl.XonChar",
            [](const P& p) { return CharText(p.FlowControl().XonChar()); },
            [](P& p, S v) { p.FlowControl().SetXonChar(ParseCharText(v)); }),
    };
    return table;
}

bool IsCustomBaudRate(const StoredValue& v) {
    return std::string_view(v.name) == kCustomBaudRate;
}

// The values of the selected groups that take part now: CustomBaudRate only
// while the rate is brCustom (when loading: the rate just assigned).
template <typename F> void ForEachSelected(TCustomComPort& port, F&& f) {
    for (const StoredValue& v : Table()) {
        if (!port.StoredGroups().Contains(v.group)) continue;
        if (IsCustomBaudRate(v) && port.BaudRate() != brCustom) continue;
        f(v);
    }
}

constexpr int kStoreFailed = 16;
constexpr int kLoadFailed = 17;

[[noreturn]] void Raise(int code, const ESettingsStore& e) {
    throw EComPort(code, e.OsErrorCode(), e.what());
}

bool IsIdentifier(const std::string& name) {
    auto letter = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    if (name.empty() || !letter(name[0])) return false;
    for (char c : name)
        if (!letter(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

} // namespace

void TCustomComPort::SetName(const std::string& name) {
    if (!name.empty() && !IsIdentifier(name))
        throw std::invalid_argument("\"" + name + "\" is not a valid component name");
    name_ = name;
}

void TCustomComPort::StoreToIniFile(TCustomIniFile& ini) {
    if (name_.empty())
        throw EComPort(kStoreFailed, -1,
                       ini.FileName() + ": the port has no name to use as section");
    try {
        ForEachSelected(*this, [&](const StoredValue& v) {
            if (v.kind == Kind::Text)
                ini.WriteString(name_, v.name, v.text(*this));
            else
                ini.WriteInteger(name_, v.name, v.integer(*this));
        });
        ini.UpdateFile();
    } catch (const ESettingsStore& e) {
        Raise(kStoreFailed, e);
    }
}

void TCustomComPort::LoadFromIniFile(TCustomIniFile& ini) {
    if (name_.empty())
        throw EComPort(kLoadFailed, -1,
                       ini.FileName() + ": the port has no name to use as section");
    try {
        // A missing section is almost always a wrong file or name: say so
        // instead of quietly keeping every setting.
        if (!ini.SectionExists(name_))
            throw ESettingsStore(ini.FileName() + ": has no section [" + name_ + "]");
        ForEachSelected(*this, [&](const StoredValue& v) {
            if (v.kind == Kind::Text) {
                v.assignText(*this, ini.ReadString(name_, v.name, v.text(*this)));
            } else {
                const int32_t def = IsCustomBaudRate(v) ? kCustomBaudRateDefault : v.integer(*this);
                v.assignInteger(*this, ini.ReadInteger(name_, v.name, def));
            }
        });
    } catch (const ESettingsStore& e) {
        Raise(kLoadFailed, e);
    }
}

void TCustomComPort::StoreToRegistry(TSettingsKey& key) {
    try {
        ForEachSelected(*this, [&](const StoredValue& v) {
            if (v.kind == Kind::Text)
                key.WriteString(v.name, v.text(*this));
            else
                key.WriteInteger(v.name, v.integer(*this));
        });
        key.Flush();
    } catch (const ESettingsStore& e) {
        Raise(kStoreFailed, e);
    }
}

void TCustomComPort::LoadFromRegistry(TSettingsKey& key) {
    try {
        // A key never written would otherwise empty Port and reset every
        // text setting to its parser's fallback.
        if (!key.Exists()) throw ESettingsStore(key.Describe() + ": holds no values");
        ForEachSelected(*this, [&](const StoredValue& v) {
            if (v.kind == Kind::Text)
                v.assignText(*this, key.ReadString(v.name));
            else
                v.assignInteger(*this, key.ReadInteger(v.name));
        });
    } catch (const ESettingsStore& e) {
        Raise(kLoadFailed, e);
    }
}

} // namespace serial
