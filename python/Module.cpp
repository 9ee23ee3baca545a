// The module `quorrin`: its exceptions, the port list, the simulators, and
// the two classes bound in StationBindings.cpp (CommandStation) and
// PortObject.cpp (Port).
#include "Bindings.h"
#include "Station.h"

#include "frontend/Systems.h"
#include "serial/ComTypes.h"
#include "serial/PortList.h"

#include <pybind11/stl.h>

#include <cmath>
#include <memory>

namespace pyquorrin {

ExceptionTypes& Exceptions() {
    static ExceptionTypes types;
    return types;
}

int IntArgument(py::handle value, const std::string& name) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        throw py::type_error(name + " must be an int, not " + Py_TYPE(value.ptr())->tp_name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
        throw py::value_error(name + " " + py::str(value).cast<std::string>() + " is out of range");
    return static_cast<int>(v);
}

bool BoolArgument(py::handle value, const std::string& name) {
    if (!PyBool_Check(value.ptr()))
        throw py::type_error(name + " must be a bool, not " + Py_TYPE(value.ptr())->tp_name);
    return value.ptr() == Py_True;
}

long long SecondsArgument(py::handle value, const std::string& name) {
    if (value.is_none()) return -1;
    if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())))
        throw py::type_error(name + " must be a number of seconds or None, not " +
                             Py_TYPE(value.ptr())->tp_name);
    const double s = value.cast<double>();
    if (!std::isfinite(s) || s < 0 || s > 2.0e6)
        throw py::value_error(name + " must be between 0 and 2000000 seconds, or None");
    return static_cast<long long>(std::llround(s * 1000.0));
}

namespace {

py::handle NewException(py::module_& m, const char* name, const char* doc, py::handle base) {
    const std::string full = std::string("quorrin.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(full.c_str(), doc, base.ptr(), nullptr);
    if (!type) throw py::error_already_set();
    m.add_object(name, py::handle(type)); // the module keeps the one reference it needs
    return py::handle(type);
}

void RaisePortError(const serial::EComPort& e) {
    py::object error = Exceptions().portError(e.what());
    error.attr("code") = e.PortErrorCode();
    error.attr("os_error") = e.OsErrorCode();
    error.attr("text") = std::string(e.what());
    PyErr_SetObject(Exceptions().portError.ptr(), error.ptr());
}

// A simulator behind a pseudo-terminal, as quorrin-sim starts it, or on an
// in-process line that only the ports of this process reach.
class Simulator {
  public:
    Simulator(const std::string& system, bool pty) {
        const frontend::SystemInfo* info = frontend::FindSystem(system);
        if (!info) throw py::value_error("unknown system '" + system + "'");
        name_ = info->name;
        py::gil_scoped_release release;
        frontend::StartedSimulator started =
            info->startSimulator(pty ? sim::Wire::Pty : sim::Wire::InProcess);
        simulator_ = std::move(started.simulator);
        path_ = std::move(started.path);
    }
    const std::string& Path() const {
        if (!simulator_) throw py::value_error("the simulator is closed");
        return path_;
    }
    const std::string& System() const { return name_; }
    bool Closed() const { return !simulator_; }
    void Close() {
        std::shared_ptr<void> gone = std::move(simulator_);
        py::gil_scoped_release release; // its thread ends here
        gone.reset();
    }

  private:
    std::string name_;
    std::string path_;
    std::shared_ptr<void> simulator_;
};

} // namespace

} // namespace pyquorrin

PYBIND11_MODULE(quorrin, m) {
    using namespace pyquorrin;
    m.doc() = "Quorrin: model-railway command stations (Selectrix, Marklin, Lenz, serial card, "
              "Intellibox, DINAMO), their serial port and simulators.\n\n"
              "    with quorrin.CommandStation('selectrix', simulator=True) as cs:\n"
              "        cs.feedback(12)   # b'\\x00'\n";
    m.attr("__version__") = QUORRIN_VERSION;

    ExceptionTypes& types = Exceptions();
    types.error = NewException(m, "Error", "A failure the command station or its port reported.",
                               PyExc_Exception);
    types.portError =
        NewException(m, "PortError",
                     "The serial port failed: `code` is the port's error code, `os_error` the "
                     "operating system's (-1: none), `text` the message.",
                     types.error);
    types.noAnswer = NewException(m, "NoAnswer", "The interface did not answer.", types.error);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const serial::EComPort& e) {
            RaisePortError(e);
        } catch (const NoAnswerError& e) {
            PyErr_SetString(Exceptions().noAnswer.ptr(), e.what());
        } catch (const ComponentError& e) {
            PyErr_SetString(Exceptions().error.ptr(), e.what());
        }
    });

    py::list systems;
    for (const frontend::SystemInfo& s : frontend::Systems())
        systems.append(s.name);
    m.attr("SYSTEMS") = py::tuple(systems);

    m.def(
        "ports",
        [] {
            std::vector<std::string> list;
            py::gil_scoped_release release;
            serial::ListSerialPorts(list);
            return list;
        },
        "The serial ports of this machine, named as Port and CommandStation take them "
        "('ttyUSB0'); symbolic links in /dev to one of them are listed too.");

    py::class_<Simulator>(m, "Simulator",
                          "A simulated command station behind a pseudo-terminal.\n\n"
                          "Simulator(system) starts it; `path` is the device to open (give it "
                          "as the port of a CommandStation or a Port). With pty=False it runs "
                          "on an in-process line instead, `path` 'sim:NAME', which only the "
                          "ports of this process open. close() ends it; a station still using "
                          "it then fails with PortError or NoAnswer.")
        .def(py::init<const std::string&, bool>(), py::arg("system"), py::arg("pty") = true)
        .def_property_readonly("path", &Simulator::Path,
                               "The device path of the simulator (sim:NAME in-process).")
        .def_property_readonly("system", &Simulator::System)
        .def_property_readonly("closed", &Simulator::Closed)
        .def("close", &Simulator::Close, "Stops the simulator (again: nothing).")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Simulator& s, py::args) { s.Close(); })
        .def("__repr__", [](const Simulator& s) {
            return "<quorrin.Simulator " + s.System() +
                   (s.Closed() ? " closed>" : " at " + s.Path() + ">");
        });

    BindStation(m);
    BindPort(m);
}
