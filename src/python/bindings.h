#pragma once

// Shared by every binding file: the same opaque list types and casters
// everywhere. The simulation core never includes pybind11.

#include "records/Triggers.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>
#include <pybind11/stl_bind.h>

#include <utility>
#include <vector>

namespace py = pybind11;

namespace velmora::python {
using PEList = std::vector<std::pair<int, std::vector<double>>>;
}

PYBIND11_MAKE_OPAQUE(std::vector<double>)
PYBIND11_MAKE_OPAQUE(std::vector<int>)
PYBIND11_MAKE_OPAQUE(std::vector<unsigned short>)
PYBIND11_MAKE_OPAQUE(std::vector<ostrelin::ZozuvUzaTrigger>)
PYBIND11_MAKE_OPAQUE(std::vector<ostrelin::MultiPMTTrigger>)
PYBIND11_MAKE_OPAQUE(velmora::python::PEList)

namespace velmora::python {

// Registration steps of the module, called by main.cpp in this order.
void register_vectors(py::module_& m);          // DoubleVector ... PEListVector
void register_early_handling(py::module_& m);   // EarlyHandling
void register_zozuvuza_trigger(py::module_& m); // ZozuvUzaTrigger
void register_zozuvuza(py::module_& m);         // ZozuvUza
void register_multipmt_trigger(py::module_& m); // MultiPMTTrigger
void register_multipmt(py::module_& m);         // MultiPMT

} // namespace velmora::python
