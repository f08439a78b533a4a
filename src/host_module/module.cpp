#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef quorl_module = {PyModuleDef_HEAD_INIT, "_quorl", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__quorl(void) { return PyModuleDef_Init(&quorl_module); }
