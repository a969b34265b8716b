// Module definition, the create and execute steps, and the module body.
#include "functions/function.h"
#include "serializer/serializer.h"
#include "base/subsystems.h"

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

constexpr const char kOtherInterpreter[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char kReimportFormat[] = "Module '%s' has already been imported. Re-initialisation is not supported.";
constexpr const char kVersionMismatchFormat[] =
    "compile time Python version %d.%d of module '%.100s' does not match runtime version %d.%d";
constexpr const char kVersionScan[] = "%d.%d";  // the start of Py_GetVersion()
constexpr const char kCannotImportFormat[] = "cannot import name '%U' from '%s'";
// The traceback entry of a failed start-up: "init <full name>" in this file.
constexpr const char kStartUpFormat[] = "init %s";
constexpr const char kStartUpFile[] = "module_init.cpp";

// Attributes of the module spec copied into the namespace by the create step.
struct SpecCopy {
    const char* from;
    const char* to;
    bool skip_none;
};
constexpr SpecCopy kSpecCopies[] = {{"loader", "__loader__", false},
                                    {"origin", "__file__", false},
                                    {"parent", "__package__", false},
                                    {"submodule_search_locations", "__path__", true}};
constexpr const char kSpecName[] = "name";


// The module spec's attributes the namespace starts with; -1 with an error set.
int copy_spec_attributes(PyObject* spec, PyObject* md) {
    for (const SpecCopy& c : kSpecCopies) {
        Ref v = Ref::steal(PyObject_GetAttrString(spec, c.from));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            continue;
        }
        if (c.skip_none && v.get() == Py_None) continue;
        if (PyDict_SetItemString(md, c.to, v.get()) < 0) return -1;
    }
    return 0;
}

PyObject* create_step(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    int64_t recorded = -1;
    if (!P.interpreter_id.compare_exchange_strong(recorded, id) && recorded != id) {
        PyErr_SetString(PyExc_ImportError, kOtherInterpreter);
        return nullptr;
    }
    if (P.module) return Ref::borrow(P.module).release();
    Ref name = Ref::steal(PyObject_GetAttrString(spec, kSpecName));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || copy_spec_attributes(spec, PyModule_GetDict(module.get())) < 0) return nullptr;
    return module.release();
}

// `import <module> as <as>`, or with `from` names `from <module> import
// <names>` (each bound under its own name); nullptr `as` and no names only
// loads the module. `line` is where the row is written, for the traceback of
// a failed start-up.
struct Import {
    const char* module;
    PyObject* Names::*as;
    PyObject* Names::*from[2];
    int line;
};
const Import kImports[] = {
    {"base64", &Names::mod_base64, {}, __LINE__},
    // `import concurrent.futures` loads the submodule and binds the package.
    {"concurrent.futures", nullptr, {}, __LINE__},
    {"concurrent", &Names::mod_concurrent, {}, __LINE__},
    {"ctypes", nullptr, {&Names::mod_Union}, __LINE__},
    {"datetime", &Names::mod_dt, {}, __LINE__},
    {"threading", &Names::mod_threading, {}, __LINE__},
    {"uuid", &Names::mod_uuid, {}, __LINE__},
    {"pandas", &Names::mod_pd, {}, __LINE__},
    {"numpy", &Names::mod_np, {}, __LINE__},
    {"typing", nullptr, {&Names::mod_Any, &Names::mod_Dict}, __LINE__},
};

// The subsystems' parts of the module body, in order, one row per line (see
// Import's `line`).
struct BodyPart {
    int (*run)(PyObject* ns);
    int line;
};
const BodyPart kBodyParts[] = {
    {body_serializer, __LINE__},
    {body_messaging_class, __LINE__},
    {body_proxy_functions, __LINE__},
    {body_proxy_classes, __LINE__},
    {body_transaction, __LINE__},
    {body_messaging_instance, __LINE__},
    {body_root_proxies, __LINE__},
    {body_python_protocols, __LINE__},
};

int import_from(PyObject* ns, const Import& im) {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    for (PyObject* Names::*name : im.from) {
        if (name && PyList_Append(fromlist.get(), N.*name) < 0) return -1;
    }
    Ref m = Ref::steal(PyImport_ImportModuleLevel(im.module, ns, nullptr, fromlist.get(), 0));
    if (!m) return -1;
    for (PyObject* Names::*name : im.from) {
        if (!name) continue;
        Ref v = getattr(m.get(), N.*name);
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, kCannotImportFormat, N.*name, im.module);
            }
            return -1;
        }
        if (PyDict_SetItem(ns, N.*name, v.get()) < 0) return -1;
    }
    return 0;
}

int run_import(PyObject* ns, const Import& im) {
    if (im.from[0]) return import_from(ns, im);
    Ref m = Ref::steal(PyImport_ImportModule(im.module));
    if (!m) return -1;
    return im.as ? PyDict_SetItem(ns, N.*im.as, m.get()) : 0;
}

// Runs the module body; on failure -1 with an error set and the line of the
// failed row in `failed_line`.
int run_body(PyObject* ns, int* failed_line) {
    for (const Import& im : kImports) {
        if (run_import(ns, im) < 0) {
            *failed_line = im.line;
            return -1;
        }
    }
    for (const BodyPart& part : kBodyParts) {
        if (part.run(ns) < 0) {
            *failed_line = part.line;
            return -1;
        }
    }
    return 0;
}

// Warns when the running interpreter is not the one the module was built for.
int warn_version_mismatch() {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), kVersionScan, &major, &minor) != 2 ||
        (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION))
        return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, kVersionMismatchFormat, PY_MAJOR_VERSION, PY_MINOR_VERSION,
                            kFullName, major, minor);
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
    if (state_init() < 0 || ser::serializer_records_init() < 0 || init_function_type(ns) < 0) return -1;
    Ref doc = Ref::steal(PyUnicode_FromString(kModuleDoc));
    if (!doc || PyDict_SetItem(ns, N.dunder_doc, doc.get()) < 0) return -1;
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
        Ref funcname = Ref::steal(PyUnicode_FromFormat(kStartUpFormat, kFullName));
        const char* name = funcname ? PyUnicode_AsUTF8(funcname.get()) : nullptr;
        Ref code = name ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kStartUpFile, name, failed_line)))
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
        PyErr_Format(PyExc_RuntimeError, kReimportFormat, kShortName);
        return -1;
    }
    P.module = Ref::borrow(module).release();
    PyObject* ns = PyModule_GetDict(module);
    store_strong(P.module_dict, Ref::borrow(ns));

    int failed_line = __LINE__;
    if (prepare_module(module, ns) == 0 && run_body(ns, &failed_line) == 0 && functions_all_made() == 0) return 0;
    if (PyErr_Occurred()) add_start_up_frame(failed_line);
    store_strong(P.module, Ref());  // a later import may try again
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, kStartUpFormat, kFullName);
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
    kShortName,
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
