// quorrin.CommandStation: the station's calls with the interpreter lock
// released, events handed to Python on the caller's thread only, and a
// pending signal (Ctrl-C) ending a wait within 100 ms after closing the
// station in order.
#include "Bindings.h"
#include "Station.h"

#include "frontend/Systems.h"

#include <pybind11/stl.h>

#include <chrono>
#include <functional>
#include <memory>

namespace pyquorrin {
namespace {

using Clock = std::chrono::steady_clock;

// Called from a wait with the interpreter lock released.
bool SignalPending() {
    py::gil_scoped_acquire acquire;
    return PyErr_CheckSignals() != 0;
}

py::dict EventDict(const EventRecord& e) {
    py::dict d;
    d["event"] = e.kind;
    for (const auto& [name, value] : e.fields)
        std::visit([&](const auto& v) { d[py::str(name)] = v; }, value);
    return d;
}

py::bytes Bytes(const std::string& s) {
    return py::bytes(s);
}

// The Python side of one station: the station itself and the callback.
class PyStation {
  public:
    explicit PyStation(std::unique_ptr<Station> station) : station_(std::move(station)) {}
    ~PyStation() {
        if (!station_) return;
        py::gil_scoped_release release;
        station_.reset();
    }

    Station& Get() {
        if (!station_ || !station_->IsOpen())
            throw py::value_error("the command station is closed");
        return *station_;
    }
    bool Open() const { return station_ && station_->IsOpen(); }

    // Runs `call` on the station with the interpreter lock released. A wait
    // that saw a signal closes the station, then raises what the signal
    // handler raised (KeyboardInterrupt for Ctrl-C).
    template <class Call> auto Run(Call&& call) {
        Station& station = Get();
        using Result = decltype(call(station));
        try {
            if constexpr (std::is_void_v<Result>) {
                {
                    py::gil_scoped_release release;
                    InterruptScope scope(SignalPending);
                    call(station);
                }
                Deliver();
            } else {
                Result result = [&] {
                    py::gil_scoped_release release;
                    InterruptScope scope(SignalPending);
                    return call(station);
                }();
                Deliver();
                return result;
            }
        } catch (const Interrupted&) {
            py::error_already_set pending; // taken before anything else runs Python
            {
                py::gil_scoped_release release;
                try {
                    station.Close(true);
                } catch (const std::exception&) {
                    // The interrupt is what the caller hears of.
                }
            }
            throw pending;
        }
    }

    void Close() {
        if (!station_) return;
        py::gil_scoped_release release;
        station_->Close();
    }

    // With a callback, the events kept so far go to it, on this thread.
    void Deliver() {
        if (callback_.is_none() || !station_) return;
        for (const EventRecord& e : station_->TakeEvents())
            callback_(EventDict(e));
    }

    std::optional<py::dict> NextEvent() {
        if (!station_) return std::nullopt;
        // Take one, leave the rest queued.
        std::deque<EventRecord> all = station_->TakeEvents();
        if (all.empty()) return std::nullopt;
        py::dict first = EventDict(all.front());
        all.pop_front();
        for (EventRecord& e : all)
            Requeue(std::move(e));
        return first;
    }

    py::object callback_ = py::none();
    std::deque<EventRecord> requeued_;

  private:
    void Requeue(EventRecord e) { requeued_.push_back(std::move(e)); }
    std::unique_ptr<Station> station_;
};

// The events of one station for a time.
class EventIterator {
  public:
    EventIterator(py::object station, long long ms)
        : owner_(std::move(station)), forever_(ms < 0),
          end_(Clock::now() + std::chrono::milliseconds(forever_ ? 0 : ms)) {}

    py::dict Next() {
        PyStation& s = owner_.cast<PyStation&>();
        for (;;) {
            if (!s.requeued_.empty()) {
                py::dict d = EventDict(s.requeued_.front());
                s.requeued_.pop_front();
                return d;
            }
            if (s.callback_.is_none()) {
                if (std::optional<py::dict> d = s.NextEvent()) return *d;
            }
            const long long left = Left();
            if (left == 0 || !s.Open()) throw py::stop_iteration();
            s.Run([&](Station& st) { st.Serve(left, true, SignalPending); });
        }
    }

  private:
    long long Left() const {
        if (forever_) return -1;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left > 0 ? left : 0;
    }
    py::object owner_;
    bool forever_;
    Clock::time_point end_;
};

// A keyword's value as the setting it names; the ranges are those the
// component's fields hold.
void ApplySetting(Settings& s, const std::string& key, py::handle v) {
    auto ranged = [&](int min, int max) {
        const int n = IntArgument(v, key);
        if (n < min || n > max)
            throw py::value_error(key + " " + std::to_string(n) + " is out of range (" +
                                  std::to_string(min) + ".." + std::to_string(max) + ")");
        return n;
    };
    auto rate = [&](bool zeroAllowed) {
        const int n = IntArgument(v, key);
        if ((n == 0 && zeroAllowed) || frontend::BaudRate(n)) return static_cast<long>(n);
        throw py::value_error(key + " " + std::to_string(n) +
                              " is not a supported rate (110, 300, 600, 1200, 2400, 4800, 9600, "
                              "14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000)");
    };
    if (key == "baud")
        s.baud = rate(false);
    else if (key == "lenz_reply_ms")
        s.host.lenzReplyMs = static_cast<uint16_t>(ranged(0, 65535));
    else if (key == "lenz_skip")
        s.host.lenzSkip = BoolArgument(v, key) ? 1 : 0;
    else if (key == "lenz_quiet_ms")
        s.host.lenzQuietMs = ranged(0, 255);
    else if (key == "ib_fixed")
        s.host.ibFixed = BoolArgument(v, key);
    else if (key == "ib_baud")
        s.host.ibBaud = rate(true);
    else if (key == "ib_binary")
        s.host.ibBinary = BoolArgument(v, key);
    else if (key == "marklin_loco_pause")
        s.host.marklinLocPause = static_cast<uint16_t>(ranged(0, 65535));
    else if (key == "marklin_stop_pause")
        s.host.marklinStopPause = static_cast<uint16_t>(ranged(0, 65535));
    else if (key == "marklin_byte_pause")
        s.host.marklinBytePause = static_cast<uint16_t>(ranged(0, 65535));
    else if (key == "marklin_fast")
        s.host.marklinFast = BoolArgument(v, key);
    else if (key == "kaart_fast")
        s.host.kaartFast = BoolArgument(v, key);
    else if (key == "kaart_option0")
        s.host.kaartOptions[0] = BoolArgument(v, key);
    else if (key == "kaart_option1")
        s.host.kaartOptions[1] = BoolArgument(v, key);
    else if (key == "kaart_option2")
        s.host.kaartOptions[2] = BoolArgument(v, key);
    else if (key == "kaart_option4")
        s.host.kaartOptions[3] = BoolArgument(v, key);
    else if (key == "dinamo_reply_ms")
        s.host.dinamoAnswerMs = static_cast<uint16_t>(ranged(0, 65535));
    else
        throw py::type_error("CommandStation() got an unexpected keyword argument '" + key + "'");
}

std::unique_ptr<PyStation> MakeStation(const std::string& system, py::object port,
                                       py::object simulator, py::kwargs settings) {
    const frontend::SystemInfo* info = frontend::FindSystem(system);
    if (!info) {
        throw py::value_error("unknown system '" + system + "' (one of " + frontend::SystemNames() +
                              ")");
    }
    const bool simulated = BoolArgument(simulator, "simulator");
    std::string name;
    if (!port.is_none()) {
        if (!py::isinstance<py::str>(port))
            throw py::type_error(std::string("port must be a str, not ") +
                                 Py_TYPE(port.ptr())->tp_name);
        name = port.cast<std::string>();
        if (name.empty()) throw py::value_error("port must not be empty");
    }
    if (simulated == !port.is_none()) throw py::value_error("give either a port or simulator=True");
    Settings s;
    for (auto [key, value] : settings)
        ApplySetting(s, key.cast<std::string>(), value);
    std::unique_ptr<Station> station;
    {
        py::gil_scoped_release release;
        station = std::make_unique<Station>(*info, s, name, simulated);
    }
    return std::make_unique<PyStation>(std::move(station));
}

} // namespace

void BindStation(py::module_& m) {
    py::class_<PyStation>(m, "CommandStation", R"(One command station on a serial port.

CommandStation(system, port=None, simulator=False, **settings) opens the port
(a device path, a name as ports() lists it, or rfc2217://host:port), or with
simulator=True a simulated station of that system of its own. As a context
manager it closes on leaving the block; closing sends what is still held back
and switches off the track power the station switched on.

system: one of quorrin.SYSTEMS (selectrix, marklin, lenz, kaart, intellibox,
dinamo). settings (keywords, the defaults of quorrin-cli): baud (the port's
rate; default the system's), lenz_reply_ms=500, lenz_skip=True,
lenz_quiet_ms=0, ib_fixed=False, ib_baud=0 (0: the port's rate),
ib_binary=False, marklin_loco_pause=60, marklin_stop_pause=90,
marklin_byte_pause=10, marklin_fast=False, kaart_fast=False,
kaart_option0/1/2=True, kaart_option4=False, dinamo_reply_ms=200.

The first command (all but probe) initialises the interface (Lenz: its
version first); a silent interface raises NoAnswer, a failing port PortError,
an argument out of the system's range ValueError naming the range. A closed
station raises ValueError.

Threads: every call of every station takes one lock of the module in turn
(the port's events reach Python only on the calling thread), so threads that
share a station are served one after the other. Ctrl-C ends a wait for
events or answers within 100 ms, also the component's own waits that let
messages through (the Lenz version, the card's start-up, Marklin's CTS); the
Intellibox's rate scan, which sleeps between its steps, finishes first. The
station then closes in order (the power-off first, queues not waited for)
and KeyboardInterrupt is raised.)")
        .def(py::init(&MakeStation), py::arg("system"), py::arg("port") = py::none(),
             py::arg("simulator") = false)
        .def_property_readonly(
            "system", [](PyStation& s) { return std::string(s.Get().System().name); },
            "The system's name.")
        .def_property_readonly(
            "port", [](PyStation& s) { return s.Get().PortName(); },
            "The port opened (the simulator's, e.g. sim:selectrix, with simulator=True).")
        .def_property_readonly("is_open", &PyStation::Open)
        .def("close", &PyStation::Close,
             "Sends what is still held back, then closes the port (switching off the power "
             "the station switched on). PortError when the close failed, so the power-off "
             "may not have reached the line. Again: nothing.")
        .def("__enter__", [](py::object self) { return self; })
        // Leaving the block on an exception, that exception is the one the
        // caller hears of; a close that fails as well (the line is gone) is
        // not raised over it.
        .def("__exit__",
             [](PyStation& s, py::object type, py::object, py::object) {
                 if (type.is_none()) return s.Close();
                 try {
                     s.Close();
                 } catch (const std::exception&) {
                 }
             })
        .def(
            "probe", [](PyStation& s) { return s.Run([](Station& st) { return st.Probe(); }); },
            "True when the interface answers the system's connection test (the Intellibox: "
            "after finding its rate), False when it is silent.")
        .def(
            "power_on", [](PyStation& s) { s.Run([](Station& st) { st.PowerOn(); }); },
            "Switches the track power on; NoAnswer when the interface refuses.")
        .def(
            "power_off",
            [](PyStation& s, bool track) { s.Run([track](Station& st) { st.PowerOff(track); }); },
            py::kw_only(), py::arg("track") = false,
            "Switches the track power off. lenz: power off is the emergency stop (80: locomotives "
            "stop, the track stays powered); track=True switches the track off (21 80).")
        .def(
            "power_state",
            [](PyStation& s) {
                const PowerState p = s.Run([](Station& st) { return st.Power(); });
                py::dict d;
                d["on"] = p.on;
                d["emergency_stop"] =
                    p.emergencyStopKnown ? py::object(py::bool_(p.emergencyStop)) : py::none();
                d["source"] = p.fromInterface ? "interface" : "commanded";
                d["commanded"] = p.commanded;
                return d;
            },
            "{'on', 'emergency_stop', 'source', 'commanded'}: the interface's answer where it "
            "can be asked (selectrix: source 'interface'), else what this station last "
            "switched (source 'commanded'); emergency_stop None where the system cannot tell.")
        .def(
            "loco",
            [](PyStation& s, py::object address, py::object speed, py::object light,
               py::object forward, py::object functions, py::object lenzSteps, py::object ibSteps,
               py::object ibOld, py::object changeDirection, py::object systemAddress) {
                LocoCommand c;
                c.address = IntArgument(address, "address");
                c.speed = IntArgument(speed, "speed");
                c.light = BoolArgument(light, "light");
                c.forward = BoolArgument(forward, "forward");
                if (!py::isinstance<py::sequence>(functions) || py::isinstance<py::str>(functions))
                    throw py::type_error("functions must be a sequence of up to 4 bools");
                const py::sequence f = functions;
                if (f.size() > 4)
                    throw py::value_error("functions holds " + std::to_string(f.size()) +
                                          " values; a loco command carries 4 (f1..f4)");
                for (size_t i = 0; i < f.size(); ++i)
                    c.functions[i] = BoolArgument(f[i], "functions[" + std::to_string(i) + "]");
                c.lenzSteps = IntArgument(lenzSteps, "lenz_steps");
                c.ibSteps = IntArgument(ibSteps, "ib_steps");
                c.ibOld = BoolArgument(ibOld, "ib_old");
                c.changeDirection = BoolArgument(changeDirection, "change_direction");
                c.systemAddress = BoolArgument(systemAddress, "system_address");
                // Options away from their default must be carried by the system.
                if (c.light) c.given.push_back("--light");
                if (!c.forward) c.given.push_back("--backward");
                for (size_t i = 0; i < 4; ++i)
                    if (c.functions[i]) c.given.push_back("--f" + std::to_string(i + 1));
                if (c.lenzSteps != 3) c.given.push_back("--lenz-steps");
                if (c.ibSteps != 14) c.given.push_back("--ib-steps");
                if (c.ibOld) c.given.push_back("--ib-old");
                if (c.changeDirection) c.given.push_back("--change-direction");
                if (c.systemAddress) c.given.push_back("--system-address");
                const std::string sent = s.Run([&](Station& st) { return st.Loco(c); });
                return Bytes(sent);
            },
            py::arg("address"), py::arg("speed") = 0, py::kw_only(), py::arg("light") = false,
            py::arg("forward") = true, py::arg("functions") = py::tuple(),
            py::arg("lenz_steps") = 3, py::arg("ib_steps") = 14, py::arg("ib_old") = false,
            py::arg("change_direction") = false, py::arg("system_address") = false,
            R"(Drives a locomotive; returns the bytes put on the line.

Ranges: selectrix address 0..111 (112..127 with system_address=True), speed
0..31, light, forward, functions[0] (f1); marklin address 0..255, speed 0..14,
light, change_direction (speed code 15) instead of a speed; lenz address
0..9999, speed 0..127, light, forward, f1..f4, lenz_steps 1..8 (1..3 old form
14/27/28 steps, 4 128 steps, 5..8 with the step byte); intellibox address
0..10239, speed 0..127, light, forward, f1..f4, ib_steps 14/15/27/28/31,
ib_old. An option the system does not carry is a ValueError.)")
        .def(
            "feedback",
            [](PyStation& s, py::object address, py::object request, py::object all,
               py::object flag2) -> py::object {
                const int a = IntArgument(address, "address");
                const int r = IntArgument(request, "request");
                const bool al = BoolArgument(all, "all");
                const bool f2 = BoolArgument(flag2, "flag2");
                const std::optional<std::string> got =
                    s.Run([&](Station& st) { return st.Feedback(a, r, al, f2, SignalPending); });
                if (!got) return py::none();
                return Bytes(*got);
            },
            py::arg("address"), py::kw_only(), py::arg("request") = 0, py::arg("all") = false,
            py::arg("flag2") = false,
            R"(Reads a feedback module; returns its input bytes.

selectrix 0..111 (one byte); marklin module 1..31 (all=True: modules 1 up to
it); lenz module 1..128 (one byte: the two halves the interface broadcasts,
the lower in bits 0..3; they are events too); kaart module 0..127 with
request 0..255 and flag2; intellibox module 1..31 (two bytes, inputs 1..8
first, input 1 in the top bit). dinamo reports by itself: use events(). NoAnswer when
nothing came.)")
        .def(
            "write",
            [](PyStation& s, py::object address, py::object value, py::object systemAddress) {
                const int a = IntArgument(address, "address");
                const int v = IntArgument(value, "value");
                const bool sys = BoolArgument(systemAddress, "system_address");
                s.Run([&](Station& st) { st.Write(a, v, sys); });
            },
            py::arg("address"), py::arg("value"), py::kw_only(), py::arg("system_address") = false,
            "Selectrix: writes value 0..255 to address 0..111 (a function decoder); the "
            "central unit's own 112..127 (127 the track power) only with system_address=True.")
        .def(
            "version",
            [](PyStation& s) {
                return s.Run([](Station& st) { return st.Version(SignalPending); });
            },
            "Lenz: the interface's version (3.6 as 3.6); NoAnswer when none came.")
        .def(
            "events",
            [](py::object self, py::object timeout) {
                PyStation& s = self.cast<PyStation&>();
                s.Get();
                return EventIterator(self, SecondsArgument(timeout, "timeout"));
            },
            py::arg("timeout") = py::none(),
            R"(The station's events as they arrive, for `timeout` seconds (None: until
the station closes or Ctrl-C). Each is a dict with 'event' and its values:

lenz: feedback {module, upper, inputs}, turnout {address, first,
first_position, second, second_position, state}, loco {address, data,
functions}, emergency-stop, power {state}; intellibox: feedback, loco,
turnout, power-off, power-on, short-external, short-loco-bus,
short-internal, overheated {data1, data2}; dinamo: feedback, magnet, block
{address, value}; every system: line {what: break|ring|error, errors}.

Delivered on the calling thread while it iterates; until then the newest
10000 are kept. With on_event set, the
events go to the callback instead and the iterator yields none.)")
        .def(
            "wait",
            [](PyStation& s, py::object seconds) {
                const long long ms = SecondsArgument(seconds, "seconds");
                const auto end = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
                for (;;) {
                    long long left = -1;
                    if (ms >= 0) {
                        left = std::chrono::duration_cast<std::chrono::milliseconds>(end -
                                                                                     Clock::now())
                                   .count();
                        if (left <= 0) return;
                    }
                    const bool untilEvent = !s.callback_.is_none();
                    s.Run([&](Station& st) { st.Serve(left, untilEvent, SignalPending); });
                }
            },
            py::arg("seconds"),
            "Serves the line for `seconds` (None: until Ctrl-C), handing events to on_event "
            "as they arrive; without a callback they are kept for events().")
        .def_property(
            "on_event", [](PyStation& s) { return s.callback_; },
            [](PyStation& s, py::object callback) {
                if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
                    throw py::type_error("on_event must be callable or None");
                s.callback_ = std::move(callback);
            },
            "A callable taking one event dict, or None. Called on the calling thread during "
            "this station's calls (wait() and events() included), never from the port's "
            "thread.")
        .def("__repr__", [](PyStation& s) {
            if (!s.Open()) return std::string("<quorrin.CommandStation closed>");
            return "<quorrin.CommandStation " + std::string(s.Get().System().name) + " on " +
                   s.Get().PortName() + ">";
        });

    py::class_<EventIterator>(m, "EventIterator", "The events of a station for a time.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &EventIterator::Next);
}

} // namespace pyquorrin
