#include <Python.h>
static PyModuleDef tfs_module_def = {PyModuleDef_HEAD_INIT, "tarvo_fastsort_numa", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_tarvo_fastsort_numa() { return PyModule_Create2(&tfs_module_def, 3); }
