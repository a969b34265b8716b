// The encoder's dispatcher, its common steps (the scalars, sequences and
// mappings) and the recursion into nested values.
#include "serializer_encoder.h"
#include "serializer_walk.h"

namespace com_like {
namespace ser {

PyObject* Encoder::encode(PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (value == Py_None) return null_record();                    // 1.
    if (tp == &PyBool_Type) return bool_record(value == Py_True);  // 2.
    if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyUnicode_Type) return encode_exact_scalar(value, tp);
    return encode_steps(value);
}

// Exact int, float and str: the tests that precede their steps still run
// (np may have been rebound to anything), but as cheap class checks.
PyObject* Encoder::encode_exact_scalar(PyObject* value, PyTypeObject* tp) {
    PyObject* npb = attr_slot(np_bool, np, N.mod_np, S.bool_);
    if (!npb) return nullptr;
    int r = plain_is_instance(value, tp, npb);
    if (r != 0) return r < 0 ? nullptr : encode_numpy_bool(value);  // 2.
    if (tp == &PyLong_Type) return plain(S.rec_int, value);         // 3.
    if (tp == &PyFloat_Type) return plain(S.rec_float, value);      // 4.
    PyObject* npi = attr_slot(np_integer, np, N.mod_np, S.integer);
    if (!npi) return nullptr;
    if ((r = plain_is_instance(value, tp, npi)) != 0)
        return r < 0 ? nullptr : plain_steal(S.rec_int, PyNumber_Long(value));
    PyObject* npf = attr_slot(np_floating, np, N.mod_np, S.floating);
    if (!npf) return nullptr;
    if ((r = plain_is_instance(value, tp, npf)) != 0)
        return r < 0 ? nullptr : plain_steal(S.rec_float, PyNumber_Float(value));
    return plain(S.rec_string, value);  // 5.
}

// Every value that is not an exact None, bool, int, float or str: the first
// step that takes it decides.
PyObject* Encoder::encode_steps(PyObject* value) {
    static constexpr Step kSteps[] = {
        &Encoder::step_bool,          // 2. bool and numpy's bool_
        &Encoder::step_int,           // 3. int (a subclass is sent as the plain int)
        &Encoder::step_float,         // 4. float
        &Encoder::step_numpy_number,  //    numpy integer and floating scalars
        &Encoder::step_str,           // 5. str: the value itself
        &Encoder::step_date,          // 6. dates and times
        &Encoder::step_bytes,         // 7. bytes-like
        &Encoder::step_sequence,      // 8. list and tuple
        &Encoder::step_mapping,       // 9. dict
        &Encoder::step_ndarray,       //    numpy arrays, by their elements
        &Encoder::step_frame,         //    the missing-value probe; 10. Series and DataFrame
        &Encoder::step_proxy,         // 11. proxies travel as references
        &Encoder::step_callable,      // 12. other callables are registered and sent by id
    };
    PyObject* out = nullptr;
    for (Step step : kSteps) {
        int r = (this->*step)(value, &out);
        if (r != 0) return r < 0 ? nullptr : out;
    }
    return plain_steal(S.rec_string, PyObject_Str(value));  // 13. anything else as its text
}

// Nested elements: natively while Serializer.to_wire is still ours. Only the
// container steps count nesting depth; a scalar element adds none.
PyObject* Encoder::encode_child(PyObject* item) {
    int native = children.resolve(N.to_wire, to_wire_spec());
    if (native < 0) return nullptr;
    if (native) return encode(item);
    return PyObject_CallOneArg(children.fn.get(), item);
}

PyObject* Encoder::encode_numpy_bool(PyObject* value) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return nullptr;
    return bool_record(truth != 0);
}

int Encoder::step_bool(PyObject* value, PyObject** out) {
    if (PyBool_Check(value)) return step_took(bool_record(value == Py_True), out);
    PyObject* npb = attr_slot(np_bool, np, N.mod_np, S.bool_);
    if (!npb) return -1;
    int r = is_instance(value, npb);
    return r <= 0 ? r : step_took(encode_numpy_bool(value), out);
}

int Encoder::step_int(PyObject* value, PyObject** out) {
    if (!PyLong_Check(value)) return 0;
    return step_took(plain_steal(S.rec_int, PyNumber_Long(value)), out);
}

int Encoder::step_float(PyObject* value, PyObject** out) {
    if (!PyFloat_Check(value)) return 0;
    return step_took(plain_steal(S.rec_float, PyNumber_Float(value)), out);
}

// numpy integer and floating scalars are numbers, not text.
int Encoder::step_numpy_number(PyObject* value, PyObject** out) {
    PyObject* npi = attr_slot(np_integer, np, N.mod_np, S.integer);
    if (!npi) return -1;
    int r = is_instance(value, npi);
    if (r != 0) return r < 0 ? -1 : step_took(plain_steal(S.rec_int, PyNumber_Long(value)), out);
    PyObject* npf = attr_slot(np_floating, np, N.mod_np, S.floating);
    if (!npf) return -1;
    r = is_instance(value, npf);
    if (r != 0) return r < 0 ? -1 : step_took(plain_steal(S.rec_float, PyNumber_Float(value)), out);
    return 0;
}

int Encoder::step_str(PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(value)) return 0;
    return step_took(plain(S.rec_string, value), out);
}

PyObject* Encoder::hidden_record(PyObject* tmpl, PyObject* contents) {
    PyObject* r = plain(tmpl, contents);
    if (r && hidden.add(r) < 0) {
        Py_DECREF(r);
        return nullptr;
    }
    return r;
}

int Encoder::step_sequence(PyObject* value, PyObject** out) {
    if (!PyList_Check(value) && !PyTuple_Check(value)) return 0;
    DepthGuard depth;
    if (depth.enter(" while encoding a wire value") < 0) return -1;
    Ref items = walk_sequence(value, [this](PyObject* item) { return encode_child(item); }, false);
    if (!items || hidden.add_list(items.get()) < 0) return -1;
    return step_took(hidden_record(S.rec_array, items.get()), out);
}

int Encoder::step_mapping(PyObject* value, PyObject** out) {
    if (!PyDict_Check(value)) return 0;
    DepthGuard depth;
    if (depth.enter(" while encoding a wire value") < 0) return -1;
    Ref entries = walk_mapping(value, [this](PyObject* item) { return encode_child(item); });
    if (!entries || hidden.add(entries.get()) < 0) return -1;
    return step_took(hidden_record(S.rec_dict, entries.get()), out);
}

PyObject* encode_wire(PyObject* value) {
    Encoder enc;
    PyObject* result = enc.encode(value);
    if (result) enc.hidden.reveal();
    return result;
}

}  // namespace ser
}  // namespace com_like
