// Wire value records: the names the serializer uses, the record templates,
// the builders of plain records and the tags the decoder recognises.
//
// State: `S` (serializer_names.h) is part of the process-wide state P
// (state.h), filled once by serializer_records_init() (serializer.h) and
// kept for the process; nothing else in the serializer is global except the
// per-thread nesting count of serializer_guards.h.
#pragma once

#include "base/globals.h"

namespace com_like {
namespace ser {

// {"type": type, "value": value, "isSpec": is_spec}, all borrowed.
New record(PyObject* type, PyObject* value, PyObject* is_spec);

// Puts `value` (borrowed) as the "value" entry of a fresh copy of a plain
// template, where records_init() found it: a copy that nobody else has seen
// yet, so that nothing a dict keeps besides its entries (version, order)
// has to change. The copy stays untracked by the collector: right for a
// value it never tracks; a record around a container is tracked by the
// encoder's Hidden list instead.
inline void records_put_value(PyObject* copy, PyObject* value) {
    char* values = reinterpret_cast<char*>(reinterpret_cast<PyDictObject*>(copy)->ma_values);
    PyObject** slot = reinterpret_cast<PyObject**>(values + S.value_offset);
    Ref previous = Ref::steal(*slot);
    *slot = Ref::borrow(value).release();
}

// A plain record from its template, "value" replaced (borrowed).
inline New plain(PyObject* tmpl, PyObject* value) {
    Ref d = Ref::steal(PyDict_Copy(tmpl));
    if (!d) return New();
    if (S.value_offset >= 0 && !PyObject_IS_GC(value)) {
        records_put_value(d.get(), value);
        return d.transfer();
    }
    if (PyDict_SetItem(d.get(), N.value, value) < 0) return New();
    return d.transfer();
}
// The same, taking the new reference `value` (empty: the error it carries).
inline New plain_steal(PyObject* tmpl, New value) {
    Ref v = Ref::steal(value);
    return v ? plain(tmpl, v.get()) : New();
}
inline New plain_steal(PyObject* tmpl, Ref value) { return value ? plain(tmpl, value.get()) : New(); }
inline New null_record() { return New(PyDict_Copy(S.rec_null)); }
inline New bool_record(bool b) { return New(PyDict_Copy(b ? S.rec_true : S.rec_false)); }

enum class Tag { Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, Other };

// Equality of `t` with the plain tags, in their order; -1 on a failed
// comparison. Tags that come from the add-in are equal texts, not our
// interned objects.
int classify_tag(PyObject* t, Tag* out);

}  // namespace ser
}  // namespace com_like
