// Wire value records: the names the serializer uses, the record templates,
// the builders of plain records and the tags the decoder recognises.
//
// State: `S` is part of the process-wide state (state.h), filled once by
// serializer_records_init() from state_init() and kept for the process; nothing else in the serializer is global
// except the per-thread nesting count of serializer_guards.h.
#pragma once

#include "globals.h"

namespace com_like {
namespace ser {

struct SerNames {
    PyObject *bool_, *integer, *floating, *datetime64, *ndarray, *datetime, *date, *timezone, *utc, *Timestamp,
        *Series, *DataFrame, *isna, *NaT, *isnat, *to_frame, *columns, *tolist, *astype, *dtype, *kind_, *isoformat,
        *astimezone, *tzinfo, *b64encode, *b64decode, *decode, *ascii, *fromisoformat, *datetime_as_string, *us,
        *object, *dt64_us, *td64_us, *timedelta64, *mM, *empty_bytes, *sizeof_;
    // Finished records, and records whose "value" is filled in per use.
    PyObject *rec_null, *rec_true, *rec_false, *rec_int, *rec_float, *rec_string, *rec_date, *rec_bytes,
        *rec_array, *rec_dict;
};
extern SerNames S;

int serializer_records_init();

// {"type": type, "value": value, "isSpec": is_spec}, all borrowed.
PyObject* record(PyObject* type, PyObject* value, PyObject* is_spec);

// A plain record from its template, "value" replaced (borrowed).
inline PyObject* plain(PyObject* tmpl, PyObject* value) {
    PyObject* d = PyDict_Copy(tmpl);
    if (!d) return nullptr;
    if (PyDict_SetItem(d, N.value, value) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}
// The same, taking the new reference `value` (null: the error it carries).
inline PyObject* plain_steal(PyObject* tmpl, PyObject* value) {
    if (!value) return nullptr;
    PyObject* r = plain(tmpl, value);
    Py_DECREF(value);
    return r;
}
inline PyObject* null_record() { return PyDict_Copy(S.rec_null); }
inline PyObject* bool_record(bool b) { return PyDict_Copy(b ? S.rec_true : S.rec_false); }

enum class Tag { Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, Other };

// Equality of `t` with the plain tags, in their order; -1 on a failed
// comparison. Tags that come from the add-in are equal texts, not our
// interned objects.
int classify_tag(PyObject* t, Tag* out);

}  // namespace ser
}  // namespace com_like
