// Module definition, the create and execute steps, and the module body.
#include "function.h"
#include "subsystems.h"

#include <frameobject.h>

#include <atomic>
#include <cstdio>

namespace com_like {
namespace {

constexpr const char kModuleDoc[] =
    "\n"
    "Veltrum - Synchronous COM-like bridge between Python and Excel Office.js.\n"
    "\n"
    "This module provides a synchronous proxy to Office.js objects, so that\n"
    "Python code can work with Excel through a COM-like interface.\n"
    "\n"
    "Classes:\n"
    "    Serializer: Marshals data types between Python and JavaScript\n"
    "    Messaging: Handles messaging for the Python-Excel bridge\n"
    "    OfficeJsObject: Dynamic proxy class for Office.js objects\n"
    "    OfficeJsArray: Proxy for arrays returned from Office.js\n"
    "    OfficeJsDict: Proxy for dictionaries returned from Office.js\n"
    "\n"
    "Globals:\n"
    "    Excel: Root proxy object (ID 1)\n"
    "    Context: Context proxy object (ID 0)\n";


PyObject* create_step(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    int64_t recorded = -1;
    if (!P.interpreter_id.compare_exchange_strong(recorded, id) && recorded != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (P.module) {
        Py_INCREF(P.module);
        return P.module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* md = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool skip_none;
    };
    static const Copy copies[] = {{"loader", "__loader__", false},
                                  {"origin", "__file__", false},
                                  {"parent", "__package__", false},
                                  {"submodule_search_locations", "__path__", true}};
    for (const Copy& c : copies) {
        Ref v = Ref::steal(PyObject_GetAttrString(spec, c.from));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (c.skip_none && v.get() == Py_None) continue;
        if (PyDict_SetItemString(md, c.to, v.get()) < 0) return nullptr;
    }
    return module.release();
}

int import_into(PyObject* ns, const char* module, PyObject* as) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    if (!m) return -1;
    return PyDict_SetItem(ns, as, m.get());
}

int import_from(PyObject* ns, const char* module, const char* const* names, int n) {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    for (int i = 0; i < n; ++i) {
        Ref s = Ref::steal(PyUnicode_FromString(names[i]));
        if (!s || PyList_Append(fromlist.get(), s.get()) < 0) return -1;
    }
    Ref m = Ref::steal(PyImport_ImportModuleLevel(module, ns, nullptr, fromlist.get(), 0));
    if (!m) return -1;
    for (int i = 0; i < n; ++i) {
        Ref v = Ref::steal(PyObject_GetAttrString(m.get(), names[i]));
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", names[i], module);
            }
            return -1;
        }
        if (PyDict_SetItemString(ns, names[i], v.get()) < 0) return -1;
    }
    return 0;
}

int run_body(PyObject* ns, int* failed_line) {
#define STEP(expr)                    \
    do {                              \
        if ((expr) < 0) {             \
            *failed_line = __LINE__;  \
            return -1;                \
        }                             \
    } while (0)
    STEP(import_into(ns, "base64", N.mod_base64));
    {
        // `import concurrent.futures` binds the package and loads the submodule.
        Ref sub = Ref::steal(PyImport_ImportModule("concurrent.futures"));
        STEP(sub ? 0 : -1);
        STEP(import_into(ns, "concurrent", N.mod_concurrent));
    }
    static const char* const ctypes_names[] = {"Union"};
    STEP(import_from(ns, "ctypes", ctypes_names, 1));
    STEP(import_into(ns, "datetime", N.mod_dt));
    STEP(import_into(ns, "threading", N.mod_threading));
    STEP(import_into(ns, "uuid", N.mod_uuid));
    STEP(import_into(ns, "pandas", N.mod_pd));
    STEP(import_into(ns, "numpy", N.mod_np));
    static const char* const typing_names[] = {"Any", "Dict"};
    STEP(import_from(ns, "typing", typing_names, 2));
    STEP(body_serializer(ns));
    STEP(body_messaging_class(ns));
    STEP(body_proxy_functions(ns));
    STEP(body_proxy_classes(ns));
    STEP(body_transaction(ns));
    STEP(body_messaging_instance(ns));
    STEP(body_root_proxies(ns));
    STEP(body_python_protocols(ns));
#undef STEP
    return 0;
}

// Warns when the running interpreter is not the one the module was built for.
int warn_version_mismatch() {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2 ||
        (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION))
        return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kFullName, "does not match", major, minor);
}

// Makes the module importable under its full dotted name too.
int register_full_name(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemWithError(modules, P.full_name);
    if (present) return 0;
    return PyErr_Occurred() ? -1 : PyDict_SetItem(modules, P.full_name, module);
}

// The steps before the module body; -1 with an error set.
int prepare_module(PyObject* module, PyObject* ns) {
    if (state_init() < 0 || init_function_type(ns) < 0) return -1;
    Ref doc = Ref::steal(PyUnicode_FromString(kModuleDoc));
    if (!doc || PyDict_SetItemString(ns, "__doc__", doc.get()) < 0) return -1;
    if (warn_version_mismatch() < 0) return -1;
    return register_full_name(module);
}

// With the start-up failed: an entry naming the start-up, at the failing
// statement, as a traceback of a module body would show it. The frame is
// built with the error put aside: frame creation looks up __builtins__ and
// gives up when it finds an exception already set.
void add_start_up_frame(int failed_line) {
    Ref frame;
    {
        ErrorStash keep;
        Ref funcname = Ref::steal(PyUnicode_FromFormat("init %s", kFullName));
        const char* name = funcname ? PyUnicode_AsUTF8(funcname.get()) : nullptr;
        Ref code = name ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("module_init.cpp", name, failed_line)))
                        : Ref();
        Ref globals = Ref::steal(PyDict_New());
        if (code && globals) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
        }
        PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

int exec_step(PyObject* module) {
    if (P.module) {
        if (P.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'com_like' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Py_INCREF(module);
    P.module = module;
    PyObject* ns = PyModule_GetDict(module);
    Py_INCREF(ns);
    Py_XSETREF(P.module_dict, ns);

    int failed_line = __LINE__;
    if (prepare_module(module, ns) == 0 && run_body(ns, &failed_line) == 0) return 0;
    if (PyErr_Occurred()) add_start_up_frame(failed_line);
    Py_CLEAR(P.module);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", kFullName);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_step)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_step)},
#ifdef Py_mod_multiple_interpreters
    // Without this the interpreter refuses a second interpreter itself, with
    // a generic text, before our create step can give the module's own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "com_like",
    nullptr,  // the docstring is set by the execute step
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace com_like

PyMODINIT_FUNC PyInit_com_like(void) { return PyModuleDef_Init(&com_like::module_def); }
