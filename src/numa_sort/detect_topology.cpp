// detect_topology(): the NUMA topology query as Python objects.

#include "engine/failure.hpp"
#include "numa_sort/call_wrapper.hpp"
#include "numa_sort/functions.hpp"
#include "numa_sort/python_ref.hpp"
#include "numa_sort/topology.hpp"

namespace tfs::functions {
namespace {

constexpr const char* kBuildError = "detect_topology() could not build its result";

py::OwnedRef python_int(std::uint64_t value) {
    py::OwnedRef number(PyLong_FromUnsignedLongLong(value));
    if (!number) py::fail_with_python_error(kBuildError);
    return number;
}

}  // namespace

PyObject* detect_topology() {
    const std::optional<Topology> topology = query_topology();
    if (!topology) return py::none();
    check(topology->cores_per_node.size() == topology->node_count,
          "the topology lists a processor count for every node");

    py::OwnedRef node_count = python_int(topology->node_count);
    py::OwnedRef cores(PyList_New(static_cast<Py_ssize_t>(topology->cores_per_node.size())));
    if (!cores) py::fail_with_python_error(kBuildError);
    Py_ssize_t position = 0;
    for (std::uint64_t count : topology->cores_per_node) {
        // PyList_SetItem takes over the reference, also when it fails.
        if (PyList_SetItem(cores.get(), position++, python_int(count).release()) != 0)
            py::fail_with_python_error(kBuildError);
    }
    PyObject* result = PyTuple_Pack(2, node_count.get(), cores.get());
    if (result == nullptr) py::fail_with_python_error(kBuildError);
    return result;
}

}  // namespace tfs::functions
