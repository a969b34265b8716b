// The encoder: one Python value to a wire value record, by the first of the
// numbered steps that takes it. The exact built-in scalars are encoded in
// line; every other value goes through the table of steps.
#pragma once

#include "serializer/serializer_guards.h"
#include "serializer/serializer_lookup.h"
#include "serializer/serializer_records.h"

namespace com_like {
namespace ser {

// The cells of a frame's values, row after row: n rows of m.
struct FrameCells {
    Ref flat;
    Py_ssize_t n = 0, m = 0;
};

struct Encoder {
    Hidden hidden;
    Ref np, np_bool, np_integer, np_floating, np_datetime64, np_ndarray, np_isnat, np_datetime_as_string;
    Ref dt, dt_datetime, dt_date, dt_timezone, dt_utc;
    Ref pd, pd_Timestamp, pd_Series, pd_DataFrame, pd_NaT, pd_isna;
    Ref base64;
    Ref ojo;
    ChildCall children;

    // Set once the steps ahead of an exact int, float or str are known to
    // pass it by its type alone (numpy's classes are plain classes): from
    // then on such values go straight to their record.
    bool fast_int = false, fast_float = false, fast_str = false;
    // The same for exact lists and dicts, set by steps 8 and 9.
    bool fast_list = false, fast_dict = false;

    New encode(PyObject* value);
    New encode_child(PyObject* item);
    // An element of an exact list or tuple whose type is marked fast, while
    // Serializer.to_wire is ours: 1 with its record in *out (or -1), else 0.
    inline int encode_in_place(PyObject* item, New* out);

    // One step: 1 when it takes the value (*out is the record), 0 when the
    // value is not of its kind, -1 with an error set.
    using Step = int (Encoder::*)(PyObject* value, New* out);

    New encode_exact_scalar(PyObject* value, PyTypeObject* tp);
    New encode_steps(PyObject* value);
    int step_bool(PyObject* value, New* out);
    int step_int(PyObject* value, New* out);
    int step_float(PyObject* value, New* out);
    int step_numpy_number(PyObject* value, New* out);
    int step_str(PyObject* value, New* out);
    int step_date(PyObject* value, New* out);
    int step_bytes(PyObject* value, New* out);
    int step_sequence(PyObject* value, New* out);
    int step_mapping(PyObject* value, New* out);
    int step_ndarray(PyObject* value, New* out);
    int step_frame(PyObject* value, New* out);
    int step_proxy(PyObject* value, New* out);
    int step_callable(PyObject* value, New* out);

    New encode_numpy_bool(PyObject* value);
    New encode_date(PyObject* value, int is_datetime64);
    New encode_datetime64(PyObject* value);
    New encode_ndarray(PyObject* value);
    New encode_frame(PyObject* value, int is_series);
    New encode_table(Ref& labels, Ref& rows);
    New encode_cells_table(PyObject* labels, const FrameCells& cells);
    New encode_cells_row(PyObject* flat, Py_ssize_t start, Py_ssize_t stop);
    Ref frame_values(PyObject* frame);
    Ref frame_rows(PyObject* vals);
    int frame_cells(PyObject* vals, FrameCells* cells);
    Ref frame_cut_rows(const FrameCells& cells);
    int is_missing(PyObject* value);
    int is_missing_probe(PyObject* value);
    New hidden_record(PyObject* tmpl, PyObject* contents);
    bool earlier_steps_by_type() const;
    New encode_sequence(PyObject* value);
    New encode_mapping(PyObject* value);
};

// A step's answer from a record that may be empty (the step's error).
inline int step_took(New record, New* out) {
    const bool ok = bool(record);
    *out = record;
    return ok ? 1 : -1;
}
inline int step_took(Ref record, New* out) { return step_took(record.transfer(), out); }

int Encoder::encode_in_place(PyObject* item, New* out) {
    PyTypeObject* tp = Py_TYPE(item);
    PyObject* tmpl = nullptr;
    if (tp == &PyFloat_Type) {
        if (fast_float) tmpl = S.rec_float;
    } else if (tp == &PyLong_Type) {
        if (fast_int) tmpl = S.rec_int;
    } else if (tp == &PyUnicode_Type && fast_str) {
        tmpl = S.rec_string;
    }
    if (!tmpl || children.native != 1) return 0;
    return step_took(plain(tmpl, item), out);
}

}  // namespace ser
}  // namespace com_like
