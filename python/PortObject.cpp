// quorrin.Port: the serial port object on its own, without a command
// station. Its event thread stays off (no events are asked for), so nothing
// here goes through the main-thread queue; one lock per port keeps threads
// that share it one after the other.
#include "Bindings.h"

#include "frontend/Systems.h"
#include "serial/CPort.h"

#include <pybind11/stl.h>

#include <memory>
#include <mutex>

namespace pyquorrin {
namespace {

// A read larger than this is surely a mistake, not a wish for memory.
constexpr int kMaxRead = 16 * 1024 * 1024;

class PyPort {
  public:
    PyPort() {
        port_.SetEvents({});
        port_.SetPort("");
    }
    ~PyPort() {
        py::gil_scoped_release release;
        std::lock_guard lock(mutex_);
        try {
            port_.ClosePort();
        } catch (const std::exception&) {
            // close() is where a caller hears of a failed close.
        }
    }

    // Runs `call` on the port with the interpreter lock released.
    template <class Call> auto Locked(Call&& call) {
        py::gil_scoped_release release;
        std::lock_guard lock(mutex_);
        return call(port_);
    }
    void NeedOpen() {
        if (!port_.Connected()) throw py::value_error("the port is closed");
    }
    serial::TComPort& Port() { return port_; }

  private:
    std::mutex mutex_;
    serial::TComPort port_;
};

void SetBaud(serial::TComPort& port, int baud) {
    if (baud <= 0) throw py::value_error("baud " + std::to_string(baud) + " must be above 0");
    if (const auto rate = frontend::BaudRate(baud)) {
        port.SetBaudRate(*rate);
    } else {
        port.SetCustomBaudRate(baud);
        port.SetBaudRate(serial::brCustom);
    }
}

int BaudOf(const serial::TComPort& port) {
    static constexpr int kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                     14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    if (port.BaudRate() == serial::brCustom) return port.CustomBaudRate();
    return kRates[port.BaudRate()];
}

constexpr const char* kParities[] = {"none", "odd", "even", "mark", "space"};

serial::TParityBits ParityOf(const std::string& text) {
    for (uint8_t i = 0; i < 5; ++i)
        if (text == kParities[i]) return static_cast<serial::TParityBits>(i);
    throw py::value_error("parity '" + text + "' is not one of none, odd, even, mark, space");
}

serial::TDataBits DataBitsOf(int bits) {
    if (bits < 5 || bits > 8)
        throw py::value_error("data_bits " + std::to_string(bits) + " is out of range (5..8)");
    return static_cast<serial::TDataBits>(bits - 5);
}

serial::TStopBits StopBitsOf(double bits) {
    if (bits == 1) return serial::sbOneStopBit;
    if (bits == 1.5) return serial::sbOne5StopBits;
    if (bits == 2) return serial::sbTwoStopBits;
    throw py::value_error("stop_bits must be 1, 1.5 or 2");
}

// The flow-control presets by name (a port set up field by field reads "custom").
constexpr std::pair<const char*, serial::TFlowControl> kFlows[] = {
    {"none", serial::fcNone}, {"hardware", serial::fcHardware}, {"software", serial::fcSoftware}};

serial::TFlowControl FlowOf(const std::string& text) {
    for (const auto& [name, flow] : kFlows)
        if (text == name) return flow;
    throw py::value_error("flow_control '" + text + "' is not one of none, hardware, software");
}

std::string FlowText(serial::TFlowControl flow) {
    for (const auto& [name, f] : kFlows)
        if (f == flow) return name;
    return "custom";
}

double StopBitsValue(serial::TStopBits bits) {
    return bits == serial::sbOneStopBit ? 1.0 : bits == serial::sbOne5StopBits ? 1.5 : 2.0;
}

std::unique_ptr<PyPort> MakePort(py::object name, py::object baud, py::object dataBits,
                                 const std::string& parity, py::object stopBits,
                                 const std::string& flowControl) {
    auto port = std::make_unique<PyPort>();
    serial::TComPort& p = port->Port();
    SetBaud(p, IntArgument(baud, "baud"));
    p.SetDataBits(DataBitsOf(IntArgument(dataBits, "data_bits")));
    p.Parity().SetBits(ParityOf(parity));
    if (PyBool_Check(stopBits.ptr()) ||
        !(PyLong_Check(stopBits.ptr()) || PyFloat_Check(stopBits.ptr())))
        throw py::type_error("stop_bits must be 1, 1.5 or 2");
    p.SetStopBits(StopBitsOf(stopBits.cast<double>()));
    p.FlowControl().SetFlowControl(FlowOf(flowControl));
    if (!name.is_none()) {
        if (!py::isinstance<py::str>(name))
            throw py::type_error(std::string("name must be a str, not ") +
                                 Py_TYPE(name.ptr())->tp_name);
        const std::string n = name.cast<std::string>();
        port->Locked([&](serial::TComPort& q) {
            q.SetPort(n);
            q.OpenPort();
        });
    }
    return port;
}

} // namespace

void BindPort(py::module_& m) {
    py::class_<PyPort>(m, "Port", R"(A serial port on its own.

Port(name=None, baud=9600, data_bits=8, parity='none', stop_bits=1,
flow_control='none') makes the port (flow control: none, hardware for
RTS/CTS, software for XON/XOFF), and opens it when a name is given (a device path, a name as ports()
lists it, or rfc2217://host:port). Reads follow the port's time-outs
(set_timeouts); the default returns at once with what has arrived. Every
failure of the port raises PortError with its code; a closed port ValueError.
Blocking calls release the interpreter lock.)")
        .def(py::init(&MakePort), py::arg("name") = py::none(), py::kw_only(),
             py::arg("baud") = 9600, py::arg("data_bits") = 8, py::arg("parity") = "none",
             py::arg("stop_bits") = 1, py::arg("flow_control") = "none")
        .def_property(
            "name", [](PyPort& p) { return p.Port().Port(); },
            [](PyPort& p, const std::string& name) {
                p.Locked([&](serial::TComPort& q) { q.SetPort(name); });
            },
            "The device; setting it on an open port opens the new one.")
        .def_property(
            "baud", [](PyPort& p) { return BaudOf(p.Port()); },
            [](PyPort& p, py::object baud) {
                const int b = IntArgument(baud, "baud");
                p.Locked([&](serial::TComPort& q) { SetBaud(q, b); });
            },
            "Bits per second (any rate the device takes; the usual ones by name).")
        .def_property(
            "data_bits", [](PyPort& p) { return static_cast<int>(p.Port().DataBits()) + 5; },
            [](PyPort& p, py::object bits) {
                const serial::TDataBits b = DataBitsOf(IntArgument(bits, "data_bits"));
                p.Locked([&](serial::TComPort& q) { q.SetDataBits(b); });
            })
        .def_property(
            "parity", [](PyPort& p) { return std::string(kParities[p.Port().Parity().Bits()]); },
            [](PyPort& p, const std::string& parity) {
                const serial::TParityBits b = ParityOf(parity);
                p.Locked([&](serial::TComPort& q) { q.Parity().SetBits(b); });
            })
        .def_property(
            "stop_bits", [](PyPort& p) { return StopBitsValue(p.Port().StopBits()); },
            [](PyPort& p, double bits) {
                const serial::TStopBits b = StopBitsOf(bits);
                p.Locked([&](serial::TComPort& q) { q.SetStopBits(b); });
            })
        .def_property(
            "flow_control", [](PyPort& p) { return FlowText(p.Port().FlowControl().FlowControl()); },
            [](PyPort& p, const std::string& flow) {
                const serial::TFlowControl f = FlowOf(flow);
                p.Locked([&](serial::TComPort& q) { q.FlowControl().SetFlowControl(f); });
            },
            "none, hardware (RTS/CTS), software (XON/XOFF); custom when set field by field.")
        .def_property_readonly("is_open", [](PyPort& p) { return p.Port().Connected(); })
        .def(
            "open",
            [](PyPort& p) {
                p.Locked([](serial::TComPort& q) {
                    if (q.Port().empty()) throw std::invalid_argument("the port has no name");
                    q.OpenPort();
                });
            },
            "Opens the port (already open: nothing).")
        .def(
            "close", [](PyPort& p) { p.Locked([](serial::TComPort& q) { q.ClosePort(); }); },
            "Closes the port (already closed: nothing).")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](PyPort& p, py::args) { p.Locked([](serial::TComPort& q) { q.ClosePort(); }); })
        .def(
            "set_timeouts",
            [](PyPort& p, py::object interval, py::object multiplier, py::object constant,
               py::object writeMultiplier, py::object writeConstant) {
                serial::TComTimeouts t;
                t.Assign(p.Port().Timeouts());
                auto field = [](py::object v, const char* name) { return IntArgument(v, name); };
                if (!interval.is_none()) t.SetReadInterval(field(interval, "read_interval"));
                if (!multiplier.is_none())
                    t.SetReadTotalMultiplier(field(multiplier, "read_total_multiplier"));
                if (!constant.is_none())
                    t.SetReadTotalConstant(field(constant, "read_total_constant"));
                if (!writeMultiplier.is_none())
                    t.SetWriteTotalMultiplier(field(writeMultiplier, "write_total_multiplier"));
                if (!writeConstant.is_none())
                    t.SetWriteTotalConstant(field(writeConstant, "write_total_constant"));
                p.Locked([&](serial::TComPort& q) { q.SetTimeouts(t); });
            },
            py::kw_only(), py::arg("read_interval") = py::none(),
            py::arg("read_total_multiplier") = py::none(),
            py::arg("read_total_constant") = py::none(),
            py::arg("write_total_multiplier") = py::none(),
            py::arg("write_total_constant") = py::none(),
            "The port's time-outs in ms (those not given stay): a read ends after "
            "read_total_constant + read_total_multiplier per byte, or read_interval between "
            "two bytes; read_interval=-1 with both totals 0 returns at once.")
        .def_property_readonly("timeouts",
                               [](PyPort& p) {
                                   const serial::TComTimeouts& t = p.Port().Timeouts();
                                   py::dict d;
                                   d["read_interval"] = t.ReadInterval();
                                   d["read_total_multiplier"] = t.ReadTotalMultiplier();
                                   d["read_total_constant"] = t.ReadTotalConstant();
                                   d["write_total_multiplier"] = t.WriteTotalMultiplier();
                                   d["write_total_constant"] = t.WriteTotalConstant();
                                   return d;
                               })
        .def(
            "read",
            [](PyPort& p, py::object size) {
                const int n = IntArgument(size, "size");
                if (n < 0 || n > kMaxRead)
                    throw py::value_error("size " + std::to_string(n) + " is out of range (0.." +
                                          std::to_string(kMaxRead) + ")");
                p.NeedOpen();
                std::string got;
                p.Locked([&](serial::TComPort& q) { q.ReadText(got, n); });
                return py::bytes(got);
            },
            py::arg("size"), "Reads up to `size` bytes within the port's time-outs.")
        .def(
            "write",
            [](PyPort& p, py::object data) {
                if (!PyObject_CheckBuffer(data.ptr()) || PyUnicode_Check(data.ptr()))
                    throw py::type_error(std::string("data must be bytes-like, not ") +
                                         Py_TYPE(data.ptr())->tp_name);
                const py::buffer_info view = py::reinterpret_borrow<py::buffer>(data).request();
                const std::string bytes(static_cast<const char*>(view.ptr),
                                        static_cast<size_t>(view.size * view.itemsize));
                p.NeedOpen();
                return p.Locked([&](serial::TComPort& q) { return q.WriteText(bytes); });
            },
            py::arg("data"), "Writes `data`; returns the number of bytes written.")
        .def_property_readonly(
            "in_waiting",
            [](PyPort& p) {
                p.NeedOpen();
                return p.Locked([](serial::TComPort& q) { return q.PendingInputCount(); });
            },
            "Bytes received and not yet read.")
        .def(
            "purge",
            [](PyPort& p, bool input, bool output) {
                p.NeedOpen();
                p.Locked([&](serial::TComPort& q) { q.PurgeBuffers(input, output); });
            },
            py::kw_only(), py::arg("input") = true, py::arg("output") = true,
            "Drops what waits to be read and/or written.")
        .def(
            "set_dtr",
            [](PyPort& p, py::object on) {
                const bool v = BoolArgument(on, "on");
                p.NeedOpen();
                p.Locked([&](serial::TComPort& q) { q.SetDTRLine(v); });
            },
            py::arg("on"))
        .def(
            "set_break",
            [](PyPort& p, py::object on) {
                const bool v = BoolArgument(on, "on");
                p.NeedOpen();
                p.Locked([&](serial::TComPort& q) { q.SetBreakState(v); });
            },
            py::arg("on"))
        .def(
            "modem_lines",
            [](PyPort& p) {
                p.NeedOpen();
                const serial::TComSignals s =
                    p.Locked([](serial::TComPort& q) { return q.ModemSignals(); });
                py::dict d;
                d["cts"] = s.Contains(serial::csCTS);
                d["dsr"] = s.Contains(serial::csDSR);
                d["ring"] = s.Contains(serial::csRing);
                d["rlsd"] = s.Contains(serial::csRLSD);
                return d;
            },
            "{'cts', 'dsr', 'ring', 'rlsd'}: the modem lines that are on.")
        .def("__repr__", [](PyPort& p) {
            return "<quorrin.Port " + p.Port().Port() +
                   (p.Port().Connected() ? " open>" : " closed>");
        });
}

} // namespace pyquorrin
