// The encoder's dispatcher, its common steps (the scalars, sequences and
// mappings) and the recursion into nested values.
#include "serializer/serializer_encoder.h"
#include "serializer/serializer_walk.h"

namespace com_like {
namespace ser {

New Encoder::encode(PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (value == Py_None) return null_record();                    // 1.
    if (tp == &PyBool_Type) return bool_record(value == Py_True);  // 2.
    if (tp == &PyLong_Type && fast_int) return plain(S.rec_int, value);         // 3.
    if (tp == &PyFloat_Type && fast_float) return plain(S.rec_float, value);    // 4.
    if (tp == &PyUnicode_Type && fast_str) return plain(S.rec_string, value);  // 5.
    if (tp == &PyList_Type && fast_list) return encode_sequence(value);  // 8.
    if (tp == &PyDict_Type && fast_dict) return encode_mapping(value);   // 9.
    if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyUnicode_Type) return encode_exact_scalar(value, tp);
    return encode_steps(value);
}

// Exact int, float and str: the tests that precede their steps still run
// (np may have been rebound to anything), but as cheap class checks. When
// every class they asked about is a plain class, the answer holds for the
// rest of the call and the type is marked fast.
New Encoder::encode_exact_scalar(PyObject* value, PyTypeObject* tp) {
    Borrowed npb = attr_slot(np_bool, np, N.mod_np, S.bool_);
    if (!npb) return New();
    int r = plain_is_instance(value, tp, npb.get());
    if (r != 0) return r < 0 ? New() : encode_numpy_bool(value);  // 2.
    bool by_type = PyType_CheckExact(npb.get());
    if (tp == &PyLong_Type) {  // 3.
        fast_int = by_type;
        return plain(S.rec_int, value);
    }
    if (tp == &PyFloat_Type) {  // 4.
        fast_float = by_type;
        return plain(S.rec_float, value);
    }
    Borrowed npi = attr_slot(np_integer, np, N.mod_np, S.integer);
    if (!npi) return New();
    if ((r = plain_is_instance(value, tp, npi.get())) != 0)
        return r < 0 ? New() : plain_steal(S.rec_int, New(PyNumber_Long(value)));
    Borrowed npf = attr_slot(np_floating, np, N.mod_np, S.floating);
    if (!npf) return New();
    if ((r = plain_is_instance(value, tp, npf.get())) != 0)
        return r < 0 ? New() : plain_steal(S.rec_float, New(PyNumber_Float(value)));
    fast_str = by_type && PyType_CheckExact(npi.get()) && PyType_CheckExact(npf.get());
    return plain(S.rec_string, value);  // 5.
}

// Every value that is not an exact None, bool, int, float or str: the first
// step that takes it decides.
New Encoder::encode_steps(PyObject* value) {
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
    New out;
    for (Step step : kSteps) {
        int r = (this->*step)(value, &out);
        if (r != 0) return r < 0 ? New() : out;
    }
    return plain_steal(S.rec_string, New(PyObject_Str(value)));  // 13. anything else as its text
}

// Nested elements: natively while Serializer.to_wire is still ours. Only the
// container steps count nesting depth; a scalar element adds none.
New Encoder::encode_child(PyObject* item) {
    int native = children.resolve(N.to_wire, to_wire_spec());
    if (native < 0) return New();
    if (native) return encode(item);
    return New(PyObject_CallOneArg(children.fn.get(), item));
}

New Encoder::encode_numpy_bool(PyObject* value) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return New();
    return bool_record(truth != 0);
}

int Encoder::step_bool(PyObject* value, New* out) {
    if (PyBool_Check(value)) return step_took(bool_record(value == Py_True), out);
    Borrowed npb = attr_slot(np_bool, np, N.mod_np, S.bool_);
    if (!npb) return -1;
    int r = is_instance(value, npb.get());
    return r <= 0 ? r : step_took(encode_numpy_bool(value), out);
}

int Encoder::step_int(PyObject* value, New* out) {
    if (!PyLong_Check(value)) return 0;
    return step_took(plain_steal(S.rec_int, New(PyNumber_Long(value))), out);
}

int Encoder::step_float(PyObject* value, New* out) {
    if (!PyFloat_Check(value)) return 0;
    return step_took(plain_steal(S.rec_float, New(PyNumber_Float(value))), out);
}

// numpy integer and floating scalars are numbers, not text.
int Encoder::step_numpy_number(PyObject* value, New* out) {
    Borrowed npi = attr_slot(np_integer, np, N.mod_np, S.integer);
    if (!npi) return -1;
    int r = is_instance(value, npi.get());
    if (r != 0) return r < 0 ? -1 : step_took(plain_steal(S.rec_int, New(PyNumber_Long(value))), out);
    Borrowed npf = attr_slot(np_floating, np, N.mod_np, S.floating);
    if (!npf) return -1;
    r = is_instance(value, npf.get());
    if (r != 0) return r < 0 ? -1 : step_took(plain_steal(S.rec_float, New(PyNumber_Float(value))), out);
    return 0;
}

int Encoder::step_str(PyObject* value, New* out) {
    if (!PyUnicode_Check(value)) return 0;
    return step_took(plain(S.rec_string, value), out);
}

// An Array or Dict record around `contents`, hidden from the collector
// with them; its value goes in place and reveal() tracks it, as
// PyDict_SetItem would have for a container value.
New Encoder::hidden_record(PyObject* tmpl, PyObject* contents) {
    Ref r = Ref::steal(PyDict_Copy(tmpl));
    if (!r) return New();
    if (S.value_offset >= 0)
        records_put_value(r.get(), contents);
    else if (PyDict_SetItem(r.get(), N.value, contents) < 0)
        return New();
    if (hidden.add_any(r.get()) < 0) return New();
    return r.transfer();
}

// True when the steps ahead of step 8 passed an exact list or dict by its
// type alone: every class they asked about is a plain class, so they pass
// every exact list or dict of this call.
bool Encoder::earlier_steps_by_type() const {
    const Ref* const asked[] = {&np_bool, &np_integer, &np_floating, &dt_datetime,
                                &dt_date, &pd_Timestamp, &np_datetime64};
    for (const Ref* cls : asked) {
        if (!*cls || !PyType_CheckExact(cls->get())) return false;
    }
    return true;
}

int Encoder::step_sequence(PyObject* value, New* out) {
    if (!PyList_Check(value) && !PyTuple_Check(value)) return 0;
    if (PyList_CheckExact(value)) fast_list = earlier_steps_by_type();
    return step_took(encode_sequence(value), out);
}

New Encoder::encode_sequence(PyObject* value) {
    DepthGuard depth;
    if (depth.enter(" while encoding a wire value") < 0) return New();
    Ref items = walk_sequence(
        value, [this](PyObject* item) { return encode_child(item); }, false,
        [this](PyObject* item, New* out) { return encode_in_place(item, out); });
    if (!items || hidden.add_any(items.get()) < 0) return New();
    return hidden_record(S.rec_array, items.get());
}

int Encoder::step_mapping(PyObject* value, New* out) {
    if (!PyDict_Check(value)) return 0;
    if (PyDict_CheckExact(value)) fast_dict = earlier_steps_by_type();
    return step_took(encode_mapping(value), out);
}

New Encoder::encode_mapping(PyObject* value) {
    DepthGuard depth;
    if (depth.enter(" while encoding a wire value") < 0) return New();
    Ref entries = walk_mapping(value, [this](PyObject* item) { return encode_child(item); });
    if (!entries || hidden.add(entries.get()) < 0) return New();
    return hidden_record(S.rec_dict, entries.get());
}

New encode_wire(PyObject* value) {
    Encoder enc;
    Ref result = Ref::steal(enc.encode(value));
    if (!result || enc.hidden.run_pending_collection() < 0) return New();
    enc.hidden.reveal();
    return result.transfer();
}

}  // namespace ser
}  // namespace com_like
