// Names, record templates and tags of the serializer.
#include "serializer/serializer_records.h"

#include "serializer/serializer.h"

#include <cstring>

namespace com_like {
namespace ser {

namespace {

int records_intern_names() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&S.bool_, "bool_"},           {&S.integer, "integer"},
        {&S.floating, "floating"},     {&S.datetime64, "datetime64"},
        {&S.ndarray, "ndarray"},       {&S.datetime, "datetime"},
        {&S.date, "date"},             {&S.timezone, "timezone"},
        {&S.utc, "utc"},               {&S.Timestamp, "Timestamp"},
        {&S.Series, "Series"},         {&S.DataFrame, "DataFrame"},
        {&S.isna, "isna"},             {&S.NaT, "NaT"},
        {&S.isnat, "isnat"},           {&S.to_frame, "to_frame"},
        {&S.columns, "columns"},       {&S.tolist, "tolist"},
        {&S.astype, "astype"},         {&S.dtype, "dtype"},
        {&S.kind_, "kind"},            {&S.isoformat, "isoformat"},
        {&S.astimezone, "astimezone"}, {&S.tzinfo, "tzinfo"},
        {&S.b64encode, "b64encode"},   {&S.b64decode, "b64decode"},
        {&S.decode, "decode"},         {&S.ascii, "ascii"},
        {&S.fromisoformat, "fromisoformat"}, {&S.datetime_as_string, "datetime_as_string"},
        {&S.us, "us"},                 {&S.object, "object"},
        {&S.dt64_us, "datetime64[us]"}, {&S.td64_us, "timedelta64[us]"},
        {&S.timedelta64, "timedelta64"}, {&S.mM, "mM"},
        {&S.sizeof_, "__sizeof__"},   {&S.shape, "shape"},
        {&S.ravel, "ravel"},
    };
    for (const Entry& e : entries) {
        if (!*e.slot && !(*e.slot = PyUnicode_InternFromString(e.text))) return -1;
    }
    if (!S.empty_bytes) S.empty_bytes = PyBytes_FromStringAndSize("", 0);
    return S.empty_bytes ? 0 : -1;
}

struct Template {
    PyObject** slot;
    PyObject* type;
    PyObject* value;
};

// A plain-class instance with the three entries of a record, as attributes.
Ref records_holder(PyObject* holder_cls, const Template& t) {
    Ref holder = call0(holder_cls);
    if (!holder || PyObject_SetAttr(holder.get(), N.type, t.type) < 0 ||
        PyObject_SetAttr(holder.get(), N.value, t.value) < 0 || PyObject_SetAttr(holder.get(), N.isSpec, Py_False) < 0)
        return Ref();
    return holder;
}

// A template as the instance dict of a plain class, or as a plain dict. A
// copy of an instance dict shares its key table with the original, so a
// record costs a dict object and its values; a plain dict's copy has a key
// table of its own.
Ref records_template(const Template& t, PyObject* holder_cls) {
    Ref d;
    if (holder_cls) {
        Ref holder = records_holder(holder_cls, t);
        if (!holder) return holder;
        d = Ref::steal(PyObject_GenericGetDict(holder.get(), nullptr));
        if (!d) return d;
        holder.release();  // kept for the life of the process, as its dict is
    } else {
        d = Ref::steal(record(t.type, t.value, Py_False));
        if (!d) return d;
    }
    if (!PyDict_CheckExact(d.get()) || PyDict_GET_SIZE(d.get()) != 3) {
        PyErr_SetString(PyExc_SystemError, "wire record template is not a plain dict");
        return Ref();
    }
    return d;
}

// From 3.11 on, the value array of an instance dict (and of its copies) is
// sized for as many attributes as the class may still learn: thirty at
// first, one fewer with each instance made. Instances made and dropped here
// first bring the copies of the templates down to about three values.
int records_teach_holder(PyObject* holder_cls, const Template& t) {
    constexpr int kInstances = 64;  // above the interpreters' limit of 30
    for (int i = 0; i < kInstances; ++i) {
        if (!records_holder(holder_cls, t)) return -1;
    }
    return 0;
}

// 1 when a copy of the instance-dict template is smaller than a copy of a
// plain dict, 0 when not, -1 on error.
int records_shared_copies_smaller(PyObject* shared_template) {
    Ref plain_dict = Ref::steal(record(N.Null, Py_None, Py_False));
    Ref a = plain_dict ? Ref::steal(PyDict_Copy(shared_template)) : Ref();
    Ref b = a ? Ref::steal(PyDict_Copy(plain_dict.get())) : Ref();
    Ref size_a = b ? call_method(a.get(), S.sizeof_) : Ref();
    Ref size_b = size_a ? call_method(b.get(), S.sizeof_) : Ref();
    if (!size_b) return -1;
    return PyObject_RichCompareBool(size_a.get(), size_b.get(), Py_LT);
}

// The value array of a split dict holds the values in the order of the
// shared keys ("type", "value", "isSpec"); from 3.13 on it starts with a
// header of eight bytes.
constexpr Py_ssize_t kValuesHeader = PY_VERSION_HEX >= 0x030D0000 ? 8 : 0;
constexpr Py_ssize_t kValueOffset = kValuesHeader + sizeof(PyObject*);

// 1 when a copy of `tmpl` whose "value" is set to `marker` through the dict
// API holds its three entries in a value array laid out as above, 0 when
// not, -1 with an error set.
int records_value_at_offset(PyObject* tmpl, PyObject* type, PyObject* marker) {
    Ref copy = Ref::steal(PyDict_Copy(tmpl));
    if (!copy || PyDict_SetItem(copy.get(), N.value, marker) < 0) return -1;
    const char* values = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(copy.get())->ma_values);
    if (!values || PyDict_GET_SIZE(copy.get()) != 3) return 0;
    PyObject* const* slots = reinterpret_cast<PyObject* const*>(values + kValuesHeader);
    return slots[0] == type && slots[1] == marker && slots[2] == Py_False;
}

// 1 when a value put at `offset` of a copy of `tmpl` reads back through the
// dict API with the other entries as they were, 0 when not, -1 on error.
int records_check_put(PyObject* tmpl, Py_ssize_t offset, PyObject* marker) {
    Ref copy = Ref::steal(PyDict_Copy(tmpl));
    if (!copy) return -1;
    S.value_offset = offset;
    records_put_value(copy.get(), marker);
    S.value_offset = -1;
    Ref expected = Ref::steal(PyDict_Copy(tmpl));
    if (!expected || PyDict_SetItem(expected.get(), N.value, marker) < 0) return -1;
    if (PyDict_GET_SIZE(copy.get()) != 3 || PyObject_GC_IsTracked(copy.get())) return 0;
    return PyObject_RichCompareBool(copy.get(), expected.get(), Py_EQ);
}

// Learns S.value_offset from the plain templates; it stays -1 (every record
// then gets its value through PyDict_SetItem) unless all of them pass.
int records_learn_value_offset() {
    const struct {
        PyObject* tmpl;
        PyObject* type;
    } plain_templates[] = {{S.rec_int, N.Int},   {S.rec_float, N.Float}, {S.rec_string, N.String},
                           {S.rec_date, N.Date}, {S.rec_bytes, N.Bytes}, {S.rec_array, N.Array},
                           {S.rec_dict, N.Dict}};
    Ref marker = Ref::steal(PyFloat_FromDouble(0.5));
    if (!marker) return -1;
    for (const auto& t : plain_templates) {
        int ok = records_value_at_offset(t.tmpl, t.type, marker.get());
        if (ok > 0) ok = records_check_put(t.tmpl, kValueOffset, marker.get());
        if (ok <= 0) return ok;
    }
    S.value_offset = kValueOffset;
    return 0;
}

}  // namespace

New record(PyObject* type, PyObject* value, PyObject* is_spec) {
    Ref d = Ref::steal(_PyDict_NewPresized(3));
    if (!d || PyDict_SetItem(d.get(), N.type, type) < 0 || PyDict_SetItem(d.get(), N.value, value) < 0 ||
        PyDict_SetItem(d.get(), N.isSpec, is_spec) < 0)
        return New();
    return d.transfer();
}

int serializer_records_init() {
    if (S.ready) return 0;
    if (records_intern_names() < 0) return -1;
    const Template templates[] = {
        {&S.rec_null, N.Null, Py_None},    {&S.rec_true, N.Bool, Py_True},    {&S.rec_false, N.Bool, Py_False},
        {&S.rec_int, N.Int, Py_None},      {&S.rec_float, N.Float, Py_None},  {&S.rec_string, N.String, Py_None},
        {&S.rec_date, N.Date, Py_None},    {&S.rec_bytes, N.Bytes, Py_None},  {&S.rec_array, N.Array, Py_None},
        {&S.rec_dict, N.Dict, Py_None},
    };
    Ref holder_cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}",
                                                      "_wire_record", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!holder_cls || records_teach_holder(holder_cls.get(), templates[0]) < 0) return -1;
    Ref first = records_template(templates[0], holder_cls.get());
    if (!first) return -1;
    // Whichever kind copies smaller here is used; either way a copy is an
    // ordinary dict.
    int shared = records_shared_copies_smaller(first.get());
    if (shared < 0) return -1;
    for (const Template& t : templates) {
        Ref d = records_template(t, shared ? holder_cls.get() : nullptr);
        if (!d) return -1;
        store_strong(*t.slot, std::move(d));
    }
    if (records_learn_value_offset() < 0) return -1;
    S.ready = true;
    return 0;
}

namespace {

const struct TagName {
    Tag tag;
    PyObject* const* name;
    const char* text;
    Py_ssize_t len;
} kTags[] = {{Tag::Null, &N.Null, "Null", 4},       {Tag::Bool, &N.Bool, "Bool", 4},
             {Tag::Int, &N.Int, "Int", 3},          {Tag::Float, &N.Float, "Float", 5},
             {Tag::String, &N.String, "String", 6}, {Tag::Date, &N.Date, "Date", 4},
             {Tag::Bytes, &N.Bytes, "Bytes", 5},    {Tag::Array, &N.Array, "Array", 5},
             {Tag::Dict, &N.Dict, "Dict", 4}};

// An exact str tag: identity, then its text; runs no user code.
int tags_classify_str(PyObject* t, Tag* out) {
    for (const auto& o : kTags) {
        if (t == *o.name) return *out = o.tag, 0;
    }
    if (PyUnicode_IS_READY(t) && PyUnicode_KIND(t) == PyUnicode_1BYTE_KIND) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(t);
        const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(t));
        for (const auto& o : kTags) {
            if (len == o.len && std::memcmp(data, o.text, len) == 0) return *out = o.tag, 0;
        }
    } else {
        for (const auto& o : kTags) {
            if (PyUnicode_Compare(t, *o.name) == 0) return *out = o.tag, 0;
        }
        if (PyErr_Occurred()) return -1;
    }
    *out = Tag::Other;
    return 0;
}

}  // namespace

int classify_tag(PyObject* t, Tag* out) {
    if (PyUnicode_CheckExact(t)) return tags_classify_str(t, out);
    for (const auto& o : kTags) {
        int r = PyObject_RichCompareBool(t, *o.name, Py_EQ);
        if (r < 0) return -1;
        if (r) return *out = o.tag, 0;
    }
    *out = Tag::Other;
    return 0;
}

}  // namespace ser
}  // namespace com_like
