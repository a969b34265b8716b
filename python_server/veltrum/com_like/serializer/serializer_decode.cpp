// The decoder: a wire value record from the add-in to a Python value.
#include "serializer/serializer_guards.h"
#include "serializer/serializer_lookup.h"
#include "serializer/serializer_records.h"
#include "serializer/serializer_walk.h"

namespace com_like {
namespace ser {
namespace {

// The record's entry, None when absent. Owned from the moment it is read:
// user code (a tag's __eq__, a conversion, a nested record) may change the
// record and so free what it held.
inline Ref entry(PyObject* wire, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(wire, key);
    if (!v && !PyErr_Occurred()) v = Py_None;
    return Ref::borrow(v);
}

// Reads an entry that step 1 reads but this record needed only later; `slot`
// keeps it when it was read earlier.
inline int late_entry(Ref& slot, PyObject* wire, PyObject* key) {
    if (!slot) slot = entry(wire, key);
    return slot ? 0 : -1;
}

struct Decoder {
    ChildCall children;
    Ref dt, dt_datetime, base64, array_cls, dict_cls, object_cls;

    New decode(PyObject* wire);
    New decode_tag(Tag tag, PyObject* wire, Ref& v, Ref& n);
    New decode_child(PyObject* item);
    New decode_date(Ref& v);
    New decode_bytes(PyObject* v);
    New decode_other(PyObject* wire, PyObject* t, PyObject* v, Ref& s);
    Ref new_container(Ref& slot, PyObject* cls_name, PyObject* wire, Ref& n, PyObject* v, int* truth);
    New decode_array(PyObject* wire, Ref& n, PyObject* v);
    New decode_dict(PyObject* wire, Ref& n, PyObject* v);
};

New Decoder::decode_child(PyObject* item) {
    int native = children.resolve(N.from_wire, from_wire_spec());
    if (native < 0) return New();
    if (!native) return New(PyObject_CallOneArg(children.fn.get(), item));
    // The nested record passes the same argument check as the top one.
    if (!PyDict_CheckExact(item)) {
        PyObject* argv[1] = {item};
        return call_native(from_wire_spec(), argv, 1);
    }
    return decode(item);
}

New Decoder::decode(PyObject* wire) {
    Ref t = entry(wire, N.type);
    if (!t) return New();
    Ref v = entry(wire, N.value);
    if (!v) return New();
    // Comparing an exact str tag runs no user code, so "isSpec" and "id" may
    // be read where they are needed. Any other tag compares by its own
    // __eq__, which may change the record: they are read before it.
    Ref s, n;
    if (!PyUnicode_CheckExact(t.get()) && (late_entry(s, wire, N.isSpec) < 0 || late_entry(n, wire, N.id) < 0))
        return New();
    Tag tag;
    if (classify_tag(t.get(), &tag) < 0) return New();
    if (tag != Tag::Other) return decode_tag(tag, wire, v, n);
    return decode_other(wire, t.get(), v.get(), s);
}

// One of the plain tags.
New Decoder::decode_tag(Tag tag, PyObject* wire, Ref& v, Ref& n) {
    switch (tag) {
        case Tag::Null:
            return none();
        case Tag::Bool: {
            int truth = PyObject_IsTrue(v.get());
            return truth < 0 ? New() : New(PyBool_FromLong(truth));
        }
        case Tag::Int:
            return PyLong_CheckExact(v.get()) ? v.transfer() : New(PyNumber_Long(v.get()));
        case Tag::Float:
            return PyFloat_CheckExact(v.get()) ? v.transfer() : New(PyNumber_Float(v.get()));
        case Tag::String:
            return PyUnicode_CheckExact(v.get()) ? v.transfer() : New(PyObject_Str(v.get()));
        case Tag::Date:
            return decode_date(v);
        case Tag::Bytes:
            return decode_bytes(v.get());
        case Tag::Array: {
            DepthGuard depth;
            if (depth.enter(" while decoding a wire value") < 0) return New();
            return decode_array(wire, n, v.get());
        }
        case Tag::Dict: {
            DepthGuard depth;
            if (depth.enter(" while decoding a wire value") < 0) return New();
            return decode_dict(wire, n, v.get());
        }
        case Tag::Other:
            break;
    }
    raise(PyExc_SystemError, "wire record tag out of range");
    return New();
}

New Decoder::decode_date(Ref& v) {
    PyObject* cls = attr_slot(dt_datetime, dt, N.mod_dt, S.datetime).get();
    Ref parsed = cls ? call_method(cls, S.fromisoformat, v.get()) : Ref();
    if (parsed) return parsed.transfer();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return New();
    PyErr_Clear();
    return v.transfer();
}

New Decoder::decode_bytes(PyObject* v) {
    int truth = PyObject_IsTrue(v);
    if (truth < 0) return New();
    PyObject* b64 = global_slot(base64, N.mod_base64).get();
    if (!b64) return New();
    return call_method(b64, S.b64decode, truth ? v : S.empty_bytes).transfer();
}

// No plain tag: a reference when "isSpec" is true, else the text.
New Decoder::decode_other(PyObject* wire, PyObject* t, PyObject* v, Ref& s) {
    if (late_entry(s, wire, N.isSpec) < 0) return New();
    int spec = PyObject_IsTrue(s.get());
    if (spec < 0) return New();
    if (!spec) return New(PyObject_Str(v));
    Ref oid = Ref::steal(PyNumber_Long(v));
    PyObject* cls = oid ? global_slot(object_cls, N.mod_OfficeJsObject).get() : nullptr;
    if (!cls) return New();
    return call2(cls, oid.get(), t).transfer();
}

// The array or dict proxy for the record's "id", made before any element is
// decoded; *truth is the truth value of the record's "value".
Ref Decoder::new_container(Ref& slot, PyObject* cls_name, PyObject* wire, Ref& n, PyObject* v, int* truth) {
    if (late_entry(n, wire, N.id) < 0) return Ref();
    PyObject* cls = global_slot(slot, cls_name).get();
    Ref proxy = cls ? call1(cls, n.get()) : Ref();
    if (!proxy) return proxy;
    *truth = PyObject_IsTrue(v);
    return *truth < 0 ? Ref() : std::move(proxy);
}

New Decoder::decode_array(PyObject* wire, Ref& n, PyObject* v) {
    int truth;
    Ref proxy = new_container(array_cls, N.mod_OfficeJsArray, wire, n, v, &truth);
    if (!proxy) return New();
    Ref items = truth ? walk_sequence(v, [this](PyObject* item) { return decode_child(item); }, true)
                      : Ref::steal(PyList_New(0));
    if (!items || !call_method(proxy.get(), N.extend, items.get())) return New();
    return proxy.transfer();
}

New Decoder::decode_dict(PyObject* wire, Ref& n, PyObject* v) {
    int truth;
    Ref proxy = new_container(dict_cls, N.mod_OfficeJsDict, wire, n, v, &truth);
    if (!proxy) return New();
    Ref entries = truth ? walk_mapping(v, [this](PyObject* item) { return decode_child(item); })
                        : Ref::steal(PyDict_New());
    if (!entries || !call_method(proxy.get(), N.update, entries.get())) return New();
    return proxy.transfer();
}

}  // namespace

New decode_wire(PyObject* wire) {
    Decoder dec;
    return dec.decode(wire);
}

}  // namespace ser
}  // namespace com_like
