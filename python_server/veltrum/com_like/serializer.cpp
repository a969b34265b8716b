// Serializer: Python values to wire value records and back.
//
// Both directions are recursive. A call keeps the module globals and library
// attributes it has looked up in a small per-call cache, so that a list of
// 100,000 elements pays for each look-up once, while a global rebound or
// removed between two calls takes effect at the next one.
#include "serializer.h"

#include "function.h"
#include "subsystems.h"

namespace com_like {
namespace {

// Names only this unit needs.
struct SerNames {
    PyObject *bool_, *integer, *floating, *datetime64, *ndarray, *datetime, *date, *timezone, *utc, *Timestamp,
        *Series, *DataFrame, *isna, *NaT, *isnat, *to_frame, *columns, *tolist, *astype, *dtype, *kind_, *isoformat,
        *astimezone, *tzinfo, *b64encode, *b64decode, *decode, *ascii, *fromisoformat, *datetime_as_string, *us,
        *object, *dt64_us, *td64_us, *timedelta64, *mM, *empty_bytes;
};
SerNames S;

int init_ser_names() {
    if (S.bool_) return 0;
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
    };
    for (const Entry& e : entries) {
        if (!(*e.slot = PyUnicode_InternFromString(e.text))) return -1;
    }
    S.empty_bytes = PyBytes_FromStringAndSize("", 0);
    return S.empty_bytes ? 0 : -1;
}

// Own nesting cap, below what the C stack of a worker thread holds, for
// interpreters whose recursion limit has been raised far.
constexpr int kMaxDepth = 8000;
thread_local int t_depth = 0;

class DepthGuard {
public:
    DepthGuard() = default;
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    int enter(const char* where) {
        if (t_depth >= kMaxDepth) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return -1;
        }
        if (Py_EnterRecursiveCall(where)) return -1;
        ++t_depth;
        entered_ = true;
        return 0;
    }
    ~DepthGuard() {
        if (entered_) {
            --t_depth;
            Py_LeaveRecursiveCall();
        }
    }

private:
    bool entered_ = false;
};

// A lazily looked-up value: a module global, or an attribute of another one.
PyObject* global_slot(Ref& slot, PyObject* name) {
    if (!slot) slot = get_global(name);
    return slot.get();
}
PyObject* attr_slot(Ref& slot, Ref& owner, PyObject* owner_name, PyObject* attr) {
    if (!slot) {
        PyObject* o = global_slot(owner, owner_name);
        if (!o) return nullptr;
        slot = getattr(o, attr);
    }
    return slot.get();
}

// isinstance() returning 1, 0 or -1; the exact type is tested first.
inline int is_instance(PyObject* value, PyObject* cls) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == cls) return 1;
    return PyObject_IsInstance(value, cls);
}

PyObject* record(PyObject* type, PyObject* value, PyObject* is_spec) {
    PyObject* d = _PyDict_NewPresized(3);
    if (!d) return nullptr;
    if (PyDict_SetItem(d, N.type, type) < 0 || PyDict_SetItem(d, N.value, value) < 0 ||
        PyDict_SetItem(d, N.isSpec, is_spec) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}
inline PyObject* plain(PyObject* type, PyObject* value) { return record(type, value, Py_False); }
inline PyObject* null_record() { return plain(N.Null, Py_None); }
PyObject* plain_steal(PyObject* type, PyObject* value) {
    if (!value) return nullptr;
    PyObject* r = plain(type, value);
    Py_DECREF(value);
    return r;
}

FuncSpec& to_wire_spec();
FuncSpec& from_wire_spec();

// ------------------------------------------------------------------ encoder

struct Encoder {
    Ref np, np_bool, np_integer, np_floating, np_datetime64, np_ndarray;
    Ref dt, dt_datetime, dt_date;
    Ref pd, pd_Timestamp, pd_Series, pd_DataFrame;
    Ref ojo;
    Ref serializer, child_fn;
    int native_children = -1;  // unknown until the first nested element

    PyObject* encode(PyObject* value);
    PyObject* encode_child(PyObject* item);
    PyObject* encode_sequence(PyObject* value);
    PyObject* encode_mapping(PyObject* value);
    PyObject* encode_date(PyObject* value, int is_datetime64);
    PyObject* encode_frame(PyObject* value, int is_series);
    PyObject* encode_ndarray(PyObject* value);
    int is_missing(PyObject* value);
};

PyObject* Encoder::encode_child(PyObject* item) {
    if (native_children < 0) {
        PyObject* ser = global_slot(serializer, N.g_Serializer);
        if (!ser) return nullptr;
        child_fn = getattr(ser, N.to_wire);
        if (!child_fn) return nullptr;
        native_children = is_our_function(child_fn.get(), to_wire_spec()) ? 1 : 0;
    }
    if (native_children) {
        DepthGuard depth;
        if (depth.enter(" while encoding a wire value") < 0) return nullptr;
        return encode(item);
    }
    return PyObject_CallOneArg(child_fn.get(), item);
}

PyObject* Encoder::encode_sequence(PyObject* value) {
    // The record exists (with its "type") before the elements are encoded.
    Ref rec = Ref::steal(_PyDict_NewPresized(3));
    if (!rec || PyDict_SetItem(rec.get(), N.type, N.Array) < 0) return nullptr;
    Ref out;
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const bool is_list = PyList_CheckExact(value);
        Py_ssize_t n = is_list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value);
        out = Ref::steal(PyList_New(0));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            // A list may change while user code runs for an element.
            if (is_list) {
                n = PyList_GET_SIZE(value);
                if (i >= n) break;
            }
            Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i));
            Ref enc = Ref::steal(encode_child(item.get()));
            if (!enc || PyList_Append(out.get(), enc.get()) < 0) return nullptr;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(value));
        if (!it) return nullptr;
        out = Ref::steal(PyList_New(0));
        if (!out) return nullptr;
        while (true) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            Ref enc = Ref::steal(encode_child(item.get()));
            if (!enc || PyList_Append(out.get(), enc.get()) < 0) return nullptr;
        }
    }
    if (PyDict_SetItem(rec.get(), N.value, out.get()) < 0 || PyDict_SetItem(rec.get(), N.isSpec, Py_False) < 0)
        return nullptr;
    return rec.release();
}

PyObject* Encoder::encode_mapping(PyObject* value) {
    Ref rec = Ref::steal(_PyDict_NewPresized(3));
    if (!rec || PyDict_SetItem(rec.get(), N.type, N.Dict) < 0) return nullptr;
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    if (PyDict_CheckExact(value)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        const Py_ssize_t size = PyDict_GET_SIZE(value);
        while (PyDict_Next(value, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), item = Ref::borrow(v);
            Ref enc = Ref::steal(encode_child(item.get()));
            if (!enc || PyDict_SetItem(out.get(), key.get(), enc.get()) < 0) return nullptr;
            if (PyDict_GET_SIZE(value) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return nullptr;
            }
        }
    } else {
        Ref items = call_method(value, N.items);
        if (!items) return nullptr;
        Ref it = Ref::steal(PyObject_GetIter(items.get()));
        if (!it) return nullptr;
        while (true) {
            Ref pair = Ref::steal(PyIter_Next(it.get()));
            if (!pair) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            Ref seq = Ref::steal(PySequence_Tuple(pair.get()));
            if (!seq) return nullptr;
            if (PyTuple_GET_SIZE(seq.get()) != 2) {
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2)");
                return nullptr;
            }
            Ref enc = Ref::steal(encode_child(PyTuple_GET_ITEM(seq.get(), 1)));
            if (!enc || PyDict_SetItem(out.get(), PyTuple_GET_ITEM(seq.get(), 0), enc.get()) < 0) return nullptr;
        }
    }
    if (PyDict_SetItem(rec.get(), N.value, out.get()) < 0 || PyDict_SetItem(rec.get(), N.isSpec, Py_False) < 0)
        return nullptr;
    return rec.release();
}

PyObject* Encoder::encode_date(PyObject* value, int is_datetime64) {
    // A missing timestamp is sent as a missing value, not as the text NaT.
    PyObject* pdm = global_slot(pd, N.g_pd);
    if (!pdm) return nullptr;
    Ref nat = getattr(pdm, S.NaT);
    if (!nat) return nullptr;
    if (value == nat.get()) return null_record();
    if (is_datetime64) {
        Ref isnat = getattr(global_slot(np, N.g_np), S.isnat);
        if (!isnat) return nullptr;
        Ref missing = call1(isnat.get(), value);
        if (!missing) return nullptr;
        int truth = PyObject_IsTrue(missing.get());
        if (truth < 0) return nullptr;
        if (truth) return null_record();
        // Microseconds: the finest precision datetime.fromisoformat reads.
        Ref fmt = getattr(np.get(), S.datetime_as_string);
        if (!fmt) return nullptr;
        Ref text = call2(fmt.get(), value, S.us);
        if (!text) return nullptr;
        return plain_steal(N.Date, PyObject_Str(text.get()));
    }
    Ref v = Ref::borrow(value);
    int is_dt = is_instance(value, dt_datetime.get());
    if (is_dt < 0) return nullptr;
    if (is_dt) {
        Ref tz = getattr(value, S.tzinfo);
        if (!tz) return nullptr;
        int truth = PyObject_IsTrue(tz.get());
        if (truth < 0) return nullptr;
        if (truth) {
            Ref tzmod = getattr(dt.get(), S.timezone);
            Ref utc = tzmod ? getattr(tzmod.get(), S.utc) : Ref();
            if (!utc) return nullptr;
            v = call_method(value, S.astimezone, utc.get());
            if (!v) return nullptr;
        }
    }
    return plain_steal(N.Date, call_method(v.get(), S.isoformat).release());
}

PyObject* Encoder::encode_ndarray(PyObject* value) {
    // Nested lists as the array is; datetimes at microseconds so that the
    // cells become datetime objects rather than integers of nanoseconds.
    Ref dtype = getattr(value, S.dtype);
    Ref kind = dtype ? getattr(dtype.get(), S.kind_) : Ref();
    if (!kind) return nullptr;
    Ref arr = Ref::borrow(value);
    if (PyUnicode_Check(kind.get()) && PyUnicode_GET_LENGTH(kind.get()) == 1) {
        Py_UCS4 c = PyUnicode_READ_CHAR(kind.get(), 0);
        if (c == 'M' || c == 'm') {
            arr = call_method(value, S.astype, c == 'M' ? S.dt64_us : S.td64_us);
            if (!arr) return nullptr;
        }
    }
    Ref lst = call_method(arr.get(), S.tolist);
    if (!lst) return nullptr;
    return encode_child(lst.get());
}

PyObject* Encoder::encode_frame(PyObject* value, int is_series) {
    Ref frame = is_series ? call_method(value, S.to_frame) : Ref::borrow(value);
    if (!frame) return nullptr;
    Ref cols = getattr(frame.get(), S.columns);
    Ref labels = cols ? call_method(cols.get(), S.tolist) : Ref();
    if (!labels) return nullptr;
    Ref vals = getattr(frame.get(), N.values);
    if (!vals) return nullptr;
    // datetime64/timedelta64 cells would come out of tolist() as integers of
    // nanoseconds: take the pandas scalars instead.
    Ref dtype = getattr(vals.get(), S.dtype);
    Ref kind = dtype ? getattr(dtype.get(), S.kind_) : Ref();
    if (!kind) return nullptr;
    int temporal = PySequence_Contains(S.mM, kind.get());
    if (temporal < 0) return nullptr;
    if (temporal && PyUnicode_Check(kind.get()) && PyUnicode_GET_LENGTH(kind.get()) == 1) {
        Ref objframe = call_method(frame.get(), S.astype, S.object);
        if (!objframe) return nullptr;
        vals = getattr(objframe.get(), N.values);
        if (!vals) return nullptr;
    }
    Ref rows = call_method(vals.get(), S.tolist);
    if (!rows) return nullptr;
    if (!PyList_CheckExact(rows.get())) {
        Ref as_list = Ref::steal(PySequence_List(rows.get()));
        if (!as_list) return nullptr;
        rows = std::move(as_list);
    }
    Ref table = Ref::steal(PyList_New(PyList_GET_SIZE(rows.get()) + 1));
    if (!table) return nullptr;
    PyList_SET_ITEM(table.get(), 0, labels.release());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        Py_INCREF(row);
        PyList_SET_ITEM(table.get(), i + 1, row);
    }
    return encode_child(table.get());
}

// The missing-value test: pandas' isna for values that are not proxies. Any
// failure, and any answer that is not a single truth value, counts as "no".
int Encoder::is_missing(PyObject* value) {
    ErrorStash keep;  // nothing of the probe may leak out
    int result = 0;
    do {
        PyObject* cls = global_slot(ojo, N.g_OfficeJsObject);
        if (!cls) break;
        int r = is_instance(value, cls);
        if (r != 0) break;
        PyObject* pdm = global_slot(pd, N.g_pd);
        if (!pdm) break;
        Ref isna = getattr(pdm, S.isna);
        if (!isna) break;
        Ref answer = call1(isna.get(), value);
        if (!answer) break;
        if (PyBool_Check(answer.get())) {
            result = answer.get() == Py_True;
            break;
        }
        PyObject* npb = attr_slot(np_bool, np, N.g_np, S.bool_);
        if (!npb) break;
        if (is_instance(answer.get(), npb) == 1) result = PyObject_IsTrue(answer.get()) == 1;
    } while (false);
    PyErr_Clear();
    return result;
}

PyObject* Encoder::encode(PyObject* value) {
    // 1. None
    if (value == Py_None) return null_record();
    PyTypeObject* tp = Py_TYPE(value);
    // 2. bool and numpy's bool_
    if (tp == &PyBool_Type) return plain(N.Bool, value);
    {
        PyObject* npb = attr_slot(np_bool, np, N.g_np, S.bool_);
        if (!npb) return nullptr;
        int r = is_instance(value, npb);
        if (r < 0) return nullptr;
        if (r) {
            int truth = PyObject_IsTrue(value);
            if (truth < 0) return nullptr;
            return plain(N.Bool, truth ? Py_True : Py_False);
        }
    }
    // 3. int (a subclass is sent as the plain int)
    if (tp == &PyLong_Type) return plain(N.Int, value);
    if (PyLong_Check(value)) return plain_steal(N.Int, PyNumber_Long(value));
    // 4. float
    if (tp == &PyFloat_Type) return plain(N.Float, value);
    if (PyFloat_Check(value)) return plain_steal(N.Float, PyNumber_Float(value));
    // numpy integer and floating scalars are numbers, not text.
    {
        PyObject* npi = attr_slot(np_integer, np, N.g_np, S.integer);
        if (!npi) return nullptr;
        int r = is_instance(value, npi);
        if (r < 0) return nullptr;
        if (r) return plain_steal(N.Int, PyNumber_Long(value));
        PyObject* npf = attr_slot(np_floating, np, N.g_np, S.floating);
        if (!npf) return nullptr;
        r = is_instance(value, npf);
        if (r < 0) return nullptr;
        if (r) return plain_steal(N.Float, PyNumber_Float(value));
    }
    // 5. str: the value itself
    if (PyUnicode_Check(value)) return plain(N.String, value);
    // 6. dates and times
    {
        PyObject* c1 = attr_slot(dt_datetime, dt, N.g_dt, S.datetime);
        PyObject* c2 = c1 ? attr_slot(dt_date, dt, N.g_dt, S.date) : nullptr;
        PyObject* c3 = c2 ? attr_slot(pd_Timestamp, pd, N.g_pd, S.Timestamp) : nullptr;
        PyObject* c4 = c3 ? attr_slot(np_datetime64, np, N.g_np, S.datetime64) : nullptr;
        if (!c4) return nullptr;
        PyObject* const classes[] = {c1, c2, c3};
        for (PyObject* c : classes) {
            int r = is_instance(value, c);
            if (r < 0) return nullptr;
            if (r) return encode_date(value, 0);
        }
        int r = is_instance(value, c4);
        if (r < 0) return nullptr;
        if (r) return encode_date(value, 1);
    }
    // 7. bytes-like
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        Ref raw = Ref::steal(PyBytes_FromObject(value));
        if (!raw) return nullptr;
        if (!PyBytes_CheckExact(raw.get())) raw = Ref::steal(PyObject_Bytes(raw.get()));
        if (!raw) return nullptr;
        Ref b64 = get_global(N.g_base64);
        Ref encoded = b64 ? call_method(b64.get(), S.b64encode, raw.get()) : Ref();
        if (!encoded) return nullptr;
        return plain_steal(N.Bytes, call_method(encoded.get(), S.decode, S.ascii).release());
    }
    // 8. list and tuple
    if (PyList_Check(value) || PyTuple_Check(value)) {
        DepthGuard depth;
        if (depth.enter(" while encoding a wire value") < 0) return nullptr;
        return encode_sequence(value);
    }
    // 9. dict
    if (PyDict_Check(value)) {
        DepthGuard depth;
        if (depth.enter(" while encoding a wire value") < 0) return nullptr;
        return encode_mapping(value);
    }
    // numpy arrays are containers: their elements, never their elided text.
    {
        PyObject* nda = attr_slot(np_ndarray, np, N.g_np, S.ndarray);
        if (!nda) return nullptr;
        int r = is_instance(value, nda);
        if (r < 0) return nullptr;
        if (r) return encode_ndarray(value);
    }
    // The missing-value probe, then 10. pandas Series and DataFrame. The
    // probe is skipped for those two: their isna is a frame, never a truth
    // value, and computing it would cost a pass over every cell.
    {
        PyObject* series = attr_slot(pd_Series, pd, N.g_pd, S.Series);
        PyObject* frame = series ? attr_slot(pd_DataFrame, pd, N.g_pd, S.DataFrame) : nullptr;
        if (!frame) return nullptr;
        int is_series = is_instance(value, series);
        if (is_series < 0) return nullptr;
        int is_frame = is_series ? 0 : is_instance(value, frame);
        if (is_frame < 0) return nullptr;
        if (is_series || is_frame) return encode_frame(value, is_series);
        if (is_missing(value)) return null_record();
    }
    // 11. proxies travel as references
    {
        PyObject* cls = global_slot(ojo, N.g_OfficeJsObject);
        if (!cls) return nullptr;
        int r = is_instance(value, cls);
        if (r < 0) return nullptr;
        if (r) {
            Ref tname = getattr(value, N._internal_typeName);
            Ref oid = tname ? getattr(value, N._internal_id) : Ref();
            if (!oid) return nullptr;
            return record(tname.get(), oid.get(), Py_True);
        }
    }
    // 12. other callables are registered and sent by id
    if (PyCallable_Check(value)) {
        Ref msg = get_global(N.g_messaging);
        Ref id = msg ? call_method(msg.get(), N.register_callable, value) : Ref();
        if (!id) return nullptr;
        return record(N.Python_Function, id.get(), Py_True);
    }
    // 13. anything else as its text
    return plain_steal(N.String, PyObject_Str(value));
}

// ------------------------------------------------------------------ decoder

struct Decoder {
    Ref child_fn;
    int native_children = -1;

    PyObject* decode(PyObject* wire);
    PyObject* decode_child(PyObject* item);
};

PyObject* Decoder::decode_child(PyObject* item) {
    if (native_children < 0) {
        Ref ser = get_global(N.g_Serializer);
        if (!ser) return nullptr;
        child_fn = getattr(ser.get(), N.from_wire);
        if (!child_fn) return nullptr;
        native_children = is_our_function(child_fn.get(), from_wire_spec()) ? 1 : 0;
    }
    if (native_children) {
        // The nested record passes the same argument check as the top one.
        if (!PyDict_CheckExact(item)) {
            PyObject* argv[1] = {item};
            return call_native(from_wire_spec(), argv, 1);
        }
        DepthGuard depth;
        if (depth.enter(" while decoding a wire value") < 0) return nullptr;
        return decode(item);
    }
    return PyObject_CallOneArg(child_fn.get(), item);
}

enum class Tag { Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, Other };

// Equality with the plain tags, in their order; -1 on a failed comparison.
int classify(PyObject* t, Tag* out) {
    static const struct {
        Tag tag;
        PyObject* const* name;
    } order[] = {{Tag::Null, &N.Null},     {Tag::Bool, &N.Bool},     {Tag::Int, &N.Int},
                 {Tag::Float, &N.Float},   {Tag::String, &N.String}, {Tag::Date, &N.Date},
                 {Tag::Bytes, &N.Bytes},   {Tag::Array, &N.Array},   {Tag::Dict, &N.Dict}};
    if (PyUnicode_CheckExact(t)) {
        for (const auto& o : order) {
            if (t == *o.name) {
                *out = o.tag;
                return 0;
            }
        }
        for (const auto& o : order) {
            if (PyUnicode_GET_LENGTH(t) == PyUnicode_GET_LENGTH(*o.name) && PyUnicode_Compare(t, *o.name) == 0) {
                *out = o.tag;
                return 0;
            }
        }
        *out = Tag::Other;
        return 0;
    }
    for (const auto& o : order) {
        int r = PyObject_RichCompareBool(t, *o.name, Py_EQ);
        if (r < 0) return -1;
        if (r) {
            *out = o.tag;
            return 0;
        }
    }
    *out = Tag::Other;
    return 0;
}

inline PyObject* entry(PyObject* wire, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(wire, key);
    if (!v && !PyErr_Occurred()) v = Py_None;
    return v;  // borrowed
}

PyObject* Decoder::decode(PyObject* wire) {
    PyObject* t = entry(wire, N.type);
    if (!t) return nullptr;
    Ref keep_t = Ref::borrow(t);
    Ref v = Ref::borrow(entry(wire, N.value));
    if (!v) return nullptr;
    Tag tag;
    if (classify(t, &tag) < 0) return nullptr;
    switch (tag) {
        case Tag::Null:
            Py_RETURN_NONE;
        case Tag::Bool: {
            int truth = PyObject_IsTrue(v.get());
            if (truth < 0) return nullptr;
            return PyBool_FromLong(truth);
        }
        case Tag::Int:
            if (PyLong_CheckExact(v.get())) return v.release();
            return PyNumber_Long(v.get());
        case Tag::Float:
            if (PyFloat_CheckExact(v.get())) return v.release();
            return PyNumber_Float(v.get());
        case Tag::String:
            if (PyUnicode_CheckExact(v.get())) return v.release();
            return PyObject_Str(v.get());
        case Tag::Date: {
            Ref dtm = get_global(N.g_dt);
            if (!dtm) return nullptr;
            Ref cls = getattr(dtm.get(), S.datetime);
            Ref parsed = cls ? call_method(cls.get(), S.fromisoformat, v.get()) : Ref();
            if (parsed) return parsed.release();
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
            return v.release();
        }
        case Tag::Bytes: {
            int truth = PyObject_IsTrue(v.get());
            if (truth < 0) return nullptr;
            Ref b64 = get_global(N.g_base64);
            if (!b64) return nullptr;
            return call_method(b64.get(), S.b64decode, truth ? v.get() : S.empty_bytes).release();
        }
        case Tag::Array: {
            Ref n = Ref::borrow(entry(wire, N.id));
            Ref cls = n ? get_global(N.g_OfficeJsArray) : Ref();
            Ref proxy = cls ? call1(cls.get(), n.get()) : Ref();
            if (!proxy) return nullptr;
            int truth = PyObject_IsTrue(v.get());
            if (truth < 0) return nullptr;
            Ref items = Ref::steal(PyList_New(0));
            if (!items) return nullptr;
            if (truth) {
                Ref it = Ref::steal(PyObject_GetIter(v.get()));
                if (!it) return nullptr;
                while (true) {
                    Ref elem = Ref::steal(PyIter_Next(it.get()));
                    if (!elem) {
                        if (PyErr_Occurred()) return nullptr;
                        break;
                    }
                    Ref dec = Ref::steal(decode_child(elem.get()));
                    if (!dec || PyList_Append(items.get(), dec.get()) < 0) return nullptr;
                }
            }
            if (!call_method(proxy.get(), N.extend, items.get())) return nullptr;
            return proxy.release();
        }
        case Tag::Dict: {
            Ref n = Ref::borrow(entry(wire, N.id));
            Ref cls = n ? get_global(N.g_OfficeJsDict) : Ref();
            Ref proxy = cls ? call1(cls.get(), n.get()) : Ref();
            if (!proxy) return nullptr;
            int truth = PyObject_IsTrue(v.get());
            if (truth < 0) return nullptr;
            Ref entries = Ref::steal(PyDict_New());
            if (!entries) return nullptr;
            if (truth) {
                Ref items = call_method(v.get(), N.items);
                Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
                if (!it) return nullptr;
                while (true) {
                    Ref pair = Ref::steal(PyIter_Next(it.get()));
                    if (!pair) {
                        if (PyErr_Occurred()) return nullptr;
                        break;
                    }
                    Ref kv = Ref::steal(PySequence_Tuple(pair.get()));
                    if (!kv) return nullptr;
                    if (PyTuple_GET_SIZE(kv.get()) != 2) {
                        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
                        return nullptr;
                    }
                    Ref dec = Ref::steal(decode_child(PyTuple_GET_ITEM(kv.get(), 1)));
                    if (!dec || PyDict_SetItem(entries.get(), PyTuple_GET_ITEM(kv.get(), 0), dec.get()) < 0)
                        return nullptr;
                }
            }
            if (!call_method(proxy.get(), N.update, entries.get())) return nullptr;
            return proxy.release();
        }
        case Tag::Other:
            break;
    }
    PyObject* s = entry(wire, N.isSpec);
    if (!s) return nullptr;
    Ref keep_s = Ref::borrow(s);
    int spec = PyObject_IsTrue(s);
    if (spec < 0) return nullptr;
    if (spec) {
        Ref oid = Ref::steal(PyNumber_Long(v.get()));
        Ref cls = oid ? get_global(N.g_OfficeJsObject) : Ref();
        if (!cls) return nullptr;
        return call2(cls.get(), oid.get(), t).release();
    }
    return PyObject_Str(v.get());
}

// ------------------------------------------------------------------ methods

PyObject* to_wire_impl(const FuncSpec&, Bound& a) {
    Encoder enc;
    return enc.encode(a.v[0]);
}

PyObject* from_wire_impl(const FuncSpec&, Bound& a) {
    Decoder dec;
    return dec.decode(a.v[0]);
}

const Param kToWire[] = {{"value", Check::Any, Default::Required, "Any"}};
const Param kFromWire[] = {{"wire", Check::Dict, Default::Required, "Dict[str, Any]"}};

FuncSpec sToWire{"to_wire", "Serializer",
                 "Serializer.to_wire(value: Any) -> Dict[str, Any]\n\n"
                 "Serialize a Python value to wire format for transmission.\n\n"
                 "Supports: None, bool, int, float, str, datetime, bytes, list, dict,\n"
                 "and OfficeJsObject wrappers.",
                 to_wire_impl, kToWire, 1, false, false, "Dict[str, Any]"};
FuncSpec sFromWire{"from_wire", "Serializer",
                   "Serializer.from_wire(dict wire: Dict[str, Any]) -> Any\n\n"
                   "Deserialize a wire format value back to Python.\n\n"
                   "Handles: Null, Bool, Int, Float, String, Date, Bytes, Array, Dict,\n"
                   "and special OfficeJs object references.",
                   from_wire_impl, kFromWire, 1, false, false, "Any"};

FuncSpec& to_wire_spec() { return sToWire; }
FuncSpec& from_wire_spec() { return sFromWire; }

Ref through_global(PyObject* attr, FuncSpec& spec, PyObject* arg) {
    Ref ser = get_global(N.g_Serializer);
    if (!ser) return ser;
    Ref fn = getattr(ser.get(), attr);
    if (!fn) return fn;
    if (is_our_function(fn.get(), spec)) {
        PyObject* argv[1] = {arg};
        return Ref::steal(call_native(spec, argv, 1));
    }
    return call1(fn.get(), arg);
}

}  // namespace

Ref serializer_to_wire(PyObject* value) { return through_global(N.to_wire, sToWire, value); }
Ref serializer_from_wire(PyObject* record) { return through_global(N.from_wire, sFromWire, record); }

int body_serializer(PyObject* ns) {
    if (init_ser_names() < 0) return -1;
    const Member members[] = {
        {"to_wire", &sToWire, true},
        {"from_wire", &sFromWire, true},
    };
    Ref cls = Ref::steal(build_class("Serializer", reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                     "Handles marshaling of data types between Python and JavaScript.", members, 2));
    if (!cls) return -1;
    return PyDict_SetItem(ns, N.g_Serializer, cls.get());
}

}  // namespace com_like
