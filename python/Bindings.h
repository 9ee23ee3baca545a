// What the binding sources share: the module's exception types and the
// strict argument readers (an int is an int, a bool a bool).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace pyquorrin {

namespace py = pybind11;

// quorrin.Error and its two kinds, made once at import.
struct ExceptionTypes {
    py::handle error;
    py::handle portError;
    py::handle noAnswer;
};
ExceptionTypes& Exceptions();

// Reads an int argument; TypeError for anything else (a bool included),
// ValueError beyond the range of int.
int IntArgument(py::handle value, const std::string& name);
// Reads a bool argument; TypeError for anything else (an int included).
bool BoolArgument(py::handle value, const std::string& name);
// Seconds as milliseconds; None is -1 (no end). TypeError for what is no
// number, ValueError for a negative, infinite or NaN value.
long long SecondsArgument(py::handle value, const std::string& name);

void BindPort(py::module_& m);
void BindStation(py::module_& m);

} // namespace pyquorrin
