#pragma once
// Force-included into every source of the module.
//
// The module must refuse an interpreter other than the one it was built for
// with a clear ImportError. That check runs in the module's init function, so
// the shared object has to load first; under an older interpreter the dynamic
// loader would reject it earlier, with an "undefined symbol" error, because
// pybind11 calls functions that older interpreters lack. Weak references let
// the object load anyway; the version check then refuses the interpreter
// before anything could call them.
//
// Kept in step with the pinned pybind11 by the test that loads the module
// under Python 3.12; the rest of the list follows the C API's history.

// Since 3.13.
#pragma weak PyThreadState_GetUnchecked
#pragma weak PyDict_GetItemStringRef
#pragma weak PyObject_ClearManagedDict
#pragma weak PyObject_VisitManagedDict
#pragma weak PyEval_GetFrameLocals
#pragma weak Py_IsFinalizing
// Since 3.11.
#pragma weak PyCode_GetVarnames
// Since 3.9.
#pragma weak PyCMethod_New
#pragma weak PyFrame_GetBack
#pragma weak PyFrame_GetCode
#pragma weak PyInterpreterState_Get
#pragma weak PyThreadState_GetFrame
// Since 3.8.
#pragma weak PyInterpreterState_GetDict
