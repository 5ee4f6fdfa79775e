#include "numa_sort/numpy_api.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "engine/failure.hpp"
#include "numa_sort/call_wrapper.hpp"

namespace tfs::numpy {
namespace {

// Positions in the `_ARRAY_API` table; unchanged from NumPy 1.16 to 2.x.
constexpr std::size_t kSlotArrayType = 2;
constexpr std::size_t kSlotDescrFromType = 45;
constexpr std::size_t kSlotEquivTypes = 182;
constexpr std::size_t kSlotFeatureVersion = 211;
// From feature version 15 (NumPy 1.22): the memory handler of new arrays.
constexpr std::size_t kSlotSetHandler = 304;
constexpr unsigned kMemoryHandlersFeatureVersion = 15;

// Array object layout (the same in NumPy 1 and 2): fields after the object
// header.
constexpr std::size_t kArrayData = 16;
constexpr std::size_t kArrayNd = 24;
constexpr std::size_t kArrayDims = 32;
constexpr std::size_t kArrayStrides = 40;
constexpr std::size_t kArrayBase = 48;
constexpr std::size_t kArrayDescr = 56;
constexpr std::size_t kArrayFlags = 64;

// Descriptor layout: kind, byte order and type number stay put; the element
// size is an int at 32 in NumPy 1 and an npy_intp at 40 in NumPy 2.
constexpr std::size_t kDescrKind = 24;
constexpr std::size_t kDescrByteOrder = 26;
constexpr std::size_t kDescrTypeNum = 28;
constexpr std::size_t kDescrElementSizeV1 = 32;
constexpr std::size_t kDescrElementSizeV2 = 40;

static_assert(sizeof(void*) == 8 && sizeof(npy_intp) == 8, "offsets are those of 64-bit builds");
static_assert(sizeof(PyObject) == kArrayData, "array fields start right after the object header");
static_assert(kArrayNd + sizeof(int) <= kArrayDims && kArrayFlags > kArrayDescr);

constexpr std::string_view kCapsuleError = "Failed to access NumPy array API capsule";
constexpr std::string_view kLayoutError = "NumPy object layout check failed";

using DescrFromTypeFn = PyObject* (*)(int);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using FeatureVersionFn = unsigned (*)();
using SetHandlerFn = PyObject* (*)(PyObject*);

const Api* g_api = nullptr;  // set once, under the interpreter lock, never freed

template <typename V>
V read_at(const PyObject* object, std::size_t offset) {
    V value;
    std::memcpy(&value, reinterpret_cast<const char*>(object) + offset, sizeof value);
    return value;
}

// A Python call result that must not be null; null ends in an internal
// failure naming `context`.
py::OwnedRef need(PyObject* result, std::string_view context) {
    if (result == nullptr) py::fail_with_python_error(context);
    return py::OwnedRef(result);
}

struct LayoutProbe {
    const char* dtype_name;
    int type_number;
    char kind;
    npy_intp element_size;
};

// Creates numpy.empty(3, dtype=probe.dtype_name) and checks that every field
// read at the offsets above agrees with what NumPy reports for it.
void check_layout(const Api& api, PyObject* numpy_module, const LayoutProbe& probe) {
    constexpr npy_intp kLength = 3;
    auto mismatch = [&](const char* what) {
        fail(std::string(kLayoutError) + ": " + what + " of a " + probe.dtype_name +
             " array is not where it was expected (NumPy major version " +
             std::to_string(api.major_version()) + ")");
    };
    py::OwnedRef empty = need(PyObject_GetAttrString(numpy_module, "empty"), kLayoutError);
    py::OwnedRef args = need(Py_BuildValue("(n)", kLength), kLayoutError);
    py::OwnedRef kwargs = need(Py_BuildValue("{s:s}", "dtype", probe.dtype_name), kLayoutError);
    py::OwnedRef array = need(PyObject_Call(empty.get(), args.get(), kwargs.get()), kLayoutError);
    if (!api.is_array(array.get())) mismatch("the type");

    const ArrayFields fields = api.fields(array.get());
    if (fields.nd != 1) mismatch("the number of dimensions");
    if (fields.dims[0] != kLength) mismatch("the length");
    if (fields.strides[0] != probe.element_size) mismatch("the stride");
    if ((fields.flags & kArrayWriteable) == 0) mismatch("the writeable flag");

    py::OwnedRef dtype = need(PyObject_GetAttrString(array.get(), "dtype"), kLayoutError);
    if (fields.descr != dtype.get()) mismatch("the descriptor");
    py::OwnedRef itemsize = need(PyObject_GetAttrString(dtype.get(), "itemsize"), kLayoutError);
    const long reported_size = PyLong_AsLong(itemsize.get());
    if (reported_size == -1 && PyErr_Occurred() != nullptr) py::fail_with_python_error(kLayoutError);
    if (api.element_size(fields.descr) != probe.element_size || reported_size != probe.element_size)
        mismatch("the element size");
    if (api.type_num(fields.descr) != probe.type_number) mismatch("the type number");
    if (read_at<char>(fields.descr, kDescrKind) != probe.kind) mismatch("the kind");
    if (read_at<char>(fields.descr, kDescrByteOrder) != '=') mismatch("the byte order");

    py::OwnedRef interface =
        need(PyObject_GetAttrString(array.get(), "__array_interface__"), kLayoutError);
    PyObject* data = PyDict_Check(interface.get()) != 0
                         ? PyDict_GetItemString(interface.get(), "data")
                         : nullptr;
    if (data == nullptr || PyTuple_Check(data) == 0 || PyTuple_Size(data) < 1)
        mismatch("the data pointer");
    void* reported_data = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
    if (reported_data == nullptr && PyErr_Occurred() != nullptr)
        py::fail_with_python_error(kLayoutError);
    if (reported_data != fields.data) mismatch("the data pointer");
}

std::unique_ptr<Api> load_api() {
    py::OwnedRef numpy = need(PyImport_ImportModule("numpy"), kCapsuleError);
    py::OwnedRef version = need(PyObject_GetAttrString(numpy.get(), "__version__"), kCapsuleError);
    py::OwnedRef lib = need(PyImport_ImportModule("numpy.lib"), kCapsuleError);
    py::OwnedRef version_type = need(PyObject_GetAttrString(lib.get(), "NumpyVersion"), kCapsuleError);
    py::OwnedRef parsed =
        need(PyObject_CallFunctionObjArgs(version_type.get(), version.get(), nullptr), kCapsuleError);
    py::OwnedRef major_object = need(PyObject_GetAttrString(parsed.get(), "major"), kCapsuleError);
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred() != nullptr) py::fail_with_python_error(kCapsuleError);

    std::string core_module = major >= 2 ? "numpy._core" : "numpy.core";
    py::OwnedRef multiarray =
        need(PyImport_ImportModule((core_module + ".multiarray").c_str()), kCapsuleError);
    py::OwnedRef capsule = need(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"), kCapsuleError);
    // NumPy 1 publishes an unnamed capsule, NumPy 2 a named one: read it
    // under whatever name it carries.
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred() != nullptr)
        py::fail_with_python_error(kCapsuleError);
    void* table = PyCapsule_GetPointer(capsule.get(), capsule_name);
    if (table == nullptr) py::fail_with_python_error(kCapsuleError);

    auto api = std::make_unique<Api>(static_cast<void**>(table), static_cast<int>(major),
                                     std::move(core_module), std::move(capsule));
    constexpr std::array<LayoutProbe, 2> kProbes = {{
        {"float64", kTypeDouble, 'f', 8},
        {"int32", type_number<std::int32_t>(), 'i', 4},
    }};
    for (const LayoutProbe& probe : kProbes) check_layout(*api, numpy.get(), probe);
    return api;
}

}  // namespace

Api::Api(void** table, int major_version, std::string core_module, py::OwnedRef capsule)
    : table_(table),
      major_version_(major_version),
      core_module_(std::move(core_module)),
      capsule_(std::move(capsule)),
      memory_handlers_(reinterpret_cast<FeatureVersionFn>(table_[kSlotFeatureVersion])() >=
                       kMemoryHandlersFeatureVersion) {}

bool Api::is_array(PyObject* object) const {
    return PyObject_TypeCheck(object, static_cast<PyTypeObject*>(table_[kSlotArrayType])) != 0;
}

bool Api::is_exact_array(PyObject* object) const {
    return Py_TYPE(object) == static_cast<PyTypeObject*>(table_[kSlotArrayType]);
}

ArrayFields Api::fields(PyObject* array) const {
    return ArrayFields{
        .data = read_at<char*>(array, kArrayData),
        .nd = read_at<int>(array, kArrayNd),
        .dims = read_at<const npy_intp*>(array, kArrayDims),
        .strides = read_at<const npy_intp*>(array, kArrayStrides),
        .base = read_at<PyObject*>(array, kArrayBase),
        .descr = read_at<PyObject*>(array, kArrayDescr),
        .flags = read_at<int>(array, kArrayFlags),
    };
}

npy_intp Api::element_size(PyObject* descr) const {
    if (major_version_ >= 2) return read_at<npy_intp>(descr, kDescrElementSizeV2);
    return read_at<int>(descr, kDescrElementSizeV1);
}

int Api::type_num(PyObject* descr) const { return read_at<int>(descr, kDescrTypeNum); }

char Api::byte_order(PyObject* descr) const { return read_at<char>(descr, kDescrByteOrder); }

py::OwnedRef Api::descr_from_type(int type_number) const {
    auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(table_[kSlotDescrFromType]);
    PyObject* descr = descr_from_type(type_number);
    if (descr == nullptr) py::fail_with_python_error("NumPy has no descriptor for a built-in type");
    return py::OwnedRef(descr);
}

bool Api::equivalent(PyObject* first, PyObject* second) const {
    auto equiv_types = reinterpret_cast<EquivTypesFn>(table_[kSlotEquivTypes]);
    const bool equal = equiv_types(first, second) != 0;
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    return equal;
}

PyObject* Api::set_memory_handler(PyObject* handler) const {
    if (!memory_handlers_) return nullptr;
    return reinterpret_cast<SetHandlerFn>(table_[kSlotSetHandler])(handler);
}

const Api& api() {
    if (g_api != nullptr) return *g_api;
    std::unique_ptr<Api> loaded = load_api();
    // Imports may let another thread run and finish the same load first.
    if (g_api == nullptr) g_api = loaded.release();
    return *g_api;
}

const Api* loaded_api() noexcept { return g_api; }

}  // namespace tfs::numpy
