// Serializer: Python values to wire value records and back.
//
// Both directions are recursive. A call keeps the module globals and library
// attributes it has looked up in a small per-call cache, so that a list of
// 100,000 elements pays for each look-up once, while a global rebound or
// removed between two calls takes effect at the next one.
#include "serializer.h"

#include <pthread.h>

#include <cstdint>

#include <cstring>

#include "function.h"
#include "subsystems.h"

namespace com_like {
namespace {

// Names only this unit needs.
struct SerNames {
    PyObject *bool_, *integer, *floating, *datetime64, *ndarray, *datetime, *date, *timezone, *utc, *Timestamp,
        *Series, *DataFrame, *isna, *NaT, *isnat, *to_frame, *columns, *tolist, *astype, *dtype, *kind_, *isoformat,
        *astimezone, *tzinfo, *b64encode, *b64decode, *decode, *ascii, *fromisoformat, *datetime_as_string, *us,
        *object, *dt64_us, *td64_us, *timedelta64, *mM, *empty_bytes, *sizeof_;
    // Finished records, and records whose "value" is filled in per use:
    // copying one is cheaper than building a three-entry dict key by key.
    PyObject *rec_null, *rec_true, *rec_false, *rec_int, *rec_float, *rec_string, *rec_date, *rec_bytes,
        *rec_array, *rec_dict;
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
        {&S.sizeof_, "__sizeof__"},
    };
    for (const Entry& e : entries) {
        if (!(*e.slot = PyUnicode_InternFromString(e.text))) return -1;
    }
    if (!(S.empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    const struct {
        PyObject** slot;
        PyObject* type;
        PyObject* value;
    } templates[] = {
        {&S.rec_null, N.Null, Py_None},    {&S.rec_true, N.Bool, Py_True},    {&S.rec_false, N.Bool, Py_False},
        {&S.rec_int, N.Int, Py_None},      {&S.rec_float, N.Float, Py_None},  {&S.rec_string, N.String, Py_None},
        {&S.rec_date, N.Date, Py_None},    {&S.rec_bytes, N.Bytes, Py_None},  {&S.rec_array, N.Array, Py_None},
        {&S.rec_dict, N.Dict, Py_None},
    };
    // A copy of an instance dict of a plain class may share its key table
    // with the original (3.10 does: a record then costs a dict object and
    // three values), or may carry a value array sized for many attributes
    // (3.11 to 3.13). Whichever kind copies smaller here is used; either way
    // a copy is an ordinary dict.
    Ref holder_cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}",
                                                      "_wire_record", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!holder_cls) return -1;
    bool use_shared = false;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& t : templates) {
            Ref d;
            if (pass == 0 || use_shared) {
                Ref holder = call0(holder_cls.get());
                if (!holder || PyObject_SetAttr(holder.get(), N.type, t.type) < 0 ||
                    PyObject_SetAttr(holder.get(), N.value, t.value) < 0 ||
                    PyObject_SetAttr(holder.get(), N.isSpec, Py_False) < 0)
                    return -1;
                d = Ref::steal(PyObject_GenericGetDict(holder.get(), nullptr));
                if (!d) return -1;
                holder.release();  // kept for the life of the process, as its dict is
            } else {
                d = Ref::steal(PyDict_New());
                if (!d || PyDict_SetItem(d.get(), N.type, t.type) < 0 || PyDict_SetItem(d.get(), N.value, t.value) < 0 ||
                    PyDict_SetItem(d.get(), N.isSpec, Py_False) < 0)
                    return -1;
            }
            if (!PyDict_CheckExact(d.get()) || PyDict_GET_SIZE(d.get()) != 3) {
                PyErr_SetString(PyExc_SystemError, "wire record template is not a plain dict");
                return -1;
            }
            Py_XSETREF(*t.slot, d.release());
        }
        if (pass == 1) break;
        // Compare the first template's copy with a plain dict's copy.
        Ref plain_dict = Ref::steal(PyDict_New());
        if (!plain_dict || PyDict_SetItem(plain_dict.get(), N.type, N.Null) < 0 ||
            PyDict_SetItem(plain_dict.get(), N.value, Py_None) < 0 || PyDict_SetItem(plain_dict.get(), N.isSpec, Py_False) < 0)
            return -1;
        Ref a = Ref::steal(PyDict_Copy(*templates[0].slot));
        Ref b = a ? Ref::steal(PyDict_Copy(plain_dict.get())) : Ref();
        Ref size_a = b ? call_method(a.get(), S.sizeof_) : Ref();
        Ref size_b = size_a ? call_method(b.get(), S.sizeof_) : Ref();
        if (!size_b) return -1;
        int smaller = PyObject_RichCompareBool(size_a.get(), size_b.get(), Py_LT);
        if (smaller < 0) return -1;
        use_shared = smaller == 1;
        if (use_shared) break;
    }
    return 0;
}

// Own nesting cap, below what the C stack of a worker thread holds, for
// interpreters whose recursion limit has been raised far. Counted per
// container level (list, tuple, dict; Array, Dict record). Besides the count,
// the remaining C stack of the thread is checked, since frame sizes differ
// between builds (instrumented ones use several times more).
constexpr int kMaxDepth = 4000;
constexpr uintptr_t kStackReserve = 512 * 1024;
thread_local int t_depth = 0;
thread_local uintptr_t t_stack_floor = 0;  // lowest safe frame address; 1 = unknown

bool stack_nearly_full() {
    if (t_stack_floor == 0) {
        t_stack_floor = 1;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > 2 * kStackReserve) {
                t_stack_floor = reinterpret_cast<uintptr_t>(addr) + kStackReserve;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return t_stack_floor > 1 && reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < t_stack_floor;
}

class DepthGuard {
public:
    DepthGuard() = default;
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    int enter(const char* where) {
        if (t_depth >= kMaxDepth || stack_nearly_full()) {
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

// Built-in types whose instances always report their own type as
// __class__ and whose bases are fixed: object, and int for bool.
inline bool plain_class(PyTypeObject* tp) {
    return tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyUnicode_Type || tp == &PyList_Type ||
           tp == &PyDict_Type || tp == &PyTuple_Type || tp == &PyBool_Type || tp == &PyBytes_Type ||
           tp == Py_TYPE(Py_None);
}

// isinstance(value, cls) for a value of one of those types, answered from
// the fixed bases when cls is a plain class (no __instancecheck__ to run).
inline int plain_is_instance(PyObject* value, PyTypeObject* tp, PyObject* cls) {
    if (reinterpret_cast<PyObject*>(tp) == cls) return 1;
    if (PyType_CheckExact(cls))
        return cls == reinterpret_cast<PyObject*>(&PyBaseObject_Type) ||
               (tp == &PyBool_Type && cls == reinterpret_cast<PyObject*>(&PyLong_Type));
    return PyObject_IsInstance(value, cls);
}

// isinstance() returning 1, 0 or -1, without the __class__ look-up where
// it cannot change the answer.
inline int is_instance(PyObject* value, PyObject* cls) {
    PyTypeObject* tp = Py_TYPE(value);
    if (plain_class(tp)) return plain_is_instance(value, tp, cls);
    if (reinterpret_cast<PyObject*>(tp) == cls) return 1;
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
inline PyObject* copy_of(PyObject* rec) { return PyDict_Copy(rec); }
// A plain record from its template, "value" replaced (borrowed).
PyObject* plain(PyObject* tmpl, PyObject* value) {
    PyObject* d = PyDict_Copy(tmpl);
    if (!d) return nullptr;
    if (PyDict_SetItem(d, N.value, value) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}
inline PyObject* null_record() { return copy_of(S.rec_null); }
inline PyObject* bool_record(bool b) { return copy_of(b ? S.rec_true : S.rec_false); }
PyObject* plain_steal(PyObject* tmpl, PyObject* value) {
    if (!value) return nullptr;
    PyObject* r = plain(tmpl, value);
    Py_DECREF(value);
    return r;
}

// A list filled in order, sized for the expected count. Until finish() it
// may hold empty slots, so it is kept away from the garbage collector (and
// with it from gc.get_objects()), which also spares the collector passes
// over a list that is still growing.
class ListFill {
public:
    int init(Py_ssize_t expected) {
        list_ = Ref::steal(PyList_New(expected));
        if (!list_) return -1;
        PyObject_GC_UnTrack(list_.get());
        expected_ = expected;
        return 0;
    }
    // Takes the new reference `item`; -1 (with the error set) when it is null.
    int push(PyObject* item) {
        if (!item) return -1;
        if (filled_ < expected_) {
            PyList_SET_ITEM(list_.get(), filled_++, item);
            return 0;
        }
        int r = PyList_Append(list_.get(), item);
        Py_DECREF(item);
        if (r == 0) ++filled_;
        return r;
    }
    // The complete list; still untracked when `track` is false.
    PyObject* finish(bool track = true) {
        if (filled_ < expected_) Py_SET_SIZE(list_.get(), filled_);
        if (track) PyObject_GC_Track(list_.get());
        return list_.release();
    }

private:
    Ref list_;
    Py_ssize_t expected_ = 0;
    Py_ssize_t filled_ = 0;
};

FuncSpec& to_wire_spec();
FuncSpec& from_wire_spec();

// ------------------------------------------------------------------ encoder

// The containers of a result under construction are kept from the garbage
// collector and handed to it once the whole result exists: a frame or a
// list of dicts makes tens of thousands of them, enough to set off full
// collections that would traverse every one of them (and the rest of the
// heap) while it is still growing. Each is held by a reference of its own
// until then, since user code may drop it from the result meanwhile (a key
// that comes twice replaces its first record).
class Hidden {
public:
    Hidden() = default;
    Hidden(const Hidden&) = delete;
    Hidden& operator=(const Hidden&) = delete;
    ~Hidden() {
        reveal();
        PyMem_Free(objects_);
    }
    // `o` is part of the result being built; -1 with MemoryError set.
    int add(PyObject* o) {
        if (!PyObject_GC_IsTracked(o)) return 0;
        if (push(o) < 0) return -1;
        PyObject_GC_UnTrack(o);
        return 0;
    }
    // For a list made untracked by ListFill.
    int add_untracked(PyObject* o) { return push(o); }
    // Tracks every object again and drops the references held on them.
    void reveal() {
        for (size_t i = 0; i < size_; ++i) {
            if (!PyObject_GC_IsTracked(objects_[i])) PyObject_GC_Track(objects_[i]);
        }
        const size_t n = size_;
        size_ = 0;
        for (size_t i = 0; i < n; ++i) Py_DECREF(objects_[i]);
    }

private:
    int push(PyObject* o) {
        if (size_ == cap_) {
            size_t cap = cap_ ? cap_ * 2 : 64;
            auto* grown = static_cast<PyObject**>(PyMem_Realloc(objects_, cap * sizeof(PyObject*)));
            if (!grown) {
                PyErr_NoMemory();
                return -1;
            }
            objects_ = grown;
            cap_ = cap;
        }
        Py_INCREF(o);
        objects_[size_++] = o;
        return 0;
    }
    PyObject** objects_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

// `key, value = pair` with the errors of that statement: two new references
// in k and v, or -1 with the exception set.
int unpack_pair(PyObject* pair, Ref& k, Ref& v) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        k = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        v = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pair)->tp_iter && !PySequence_Check(pair))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        return -1;
    }
    Ref* const slots[2] = {&k, &v};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    // Like the statement, one more item is asked for, not the whole rest.
    if (Ref::steal(PyIter_Next(it.get()))) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Calls f(key, value) for each pair of mapping.items(), as a for loop that
// unpacks the pairs would; -1 with an exception set on the first failure.
template <class F>
int walk_items(PyObject* mapping, F&& f) {
    Ref items = call_method(mapping, N.items);
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!it) return -1;
    while (true) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair) return PyErr_Occurred() ? -1 : 0;
        Ref k, v;
        if (unpack_pair(pair.get(), k, v) < 0 || f(k.get(), v.get()) < 0) return -1;
    }
}

struct Encoder {
    Hidden hidden;
    Ref np, np_bool, np_integer, np_floating, np_datetime64, np_ndarray, np_isnat, np_datetime_as_string;
    Ref dt, dt_datetime, dt_date, dt_timezone, dt_utc;
    Ref pd, pd_Timestamp, pd_Series, pd_DataFrame, pd_NaT, pd_isna;
    Ref base64;
    Ref ojo;
    Ref serializer, child_fn;
    int native_children = -1;  // unknown until the first nested element

    PyObject* encode(PyObject* value);
    PyObject* hidden_record(PyObject* tmpl, PyObject* contents);
    PyObject* encode_rest(PyObject* value);
    PyObject* encode_numpy_bool(PyObject* value);
    PyObject* encode_child(PyObject* item);
    PyObject* encode_sequence(PyObject* value);
    PyObject* encode_mapping(PyObject* value);
    PyObject* encode_date(PyObject* value, int is_datetime64);
    PyObject* encode_frame(PyObject* value, int is_series);
    PyObject* encode_ndarray(PyObject* value);
    int is_missing(PyObject* value);
};

// Nested elements: natively while Serializer.to_wire is still ours. Only the
// container steps count nesting depth; a scalar element adds none.
PyObject* Encoder::encode_child(PyObject* item) {
    if (native_children < 0) {
        PyObject* ser = global_slot(serializer, N.g_Serializer);
        if (!ser) return nullptr;
        child_fn = getattr(ser, N.to_wire);
        if (!child_fn) return nullptr;
        native_children = is_our_function(child_fn.get(), to_wire_spec()) ? 1 : 0;
    }
    if (native_children) return encode(item);
    return PyObject_CallOneArg(child_fn.get(), item);
}

PyObject* Encoder::hidden_record(PyObject* tmpl, PyObject* contents) {
    PyObject* r = plain(tmpl, contents);
    if (r && hidden.add(r) < 0) {
        Py_DECREF(r);
        return nullptr;
    }
    return r;
}

PyObject* Encoder::encode_sequence(PyObject* value) {
    Ref out;
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const bool is_list = PyList_CheckExact(value);
        ListFill fill;
        if (fill.init(is_list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value)) < 0) return nullptr;
        // A list may change while user code runs for an element: like a
        // for loop, go on until the index passes its current end.
        for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value)); ++i) {
            PyObject* item = is_list ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i);
            Py_INCREF(item);
            PyObject* enc = encode_child(item);
            Py_DECREF(item);
            if (fill.push(enc) < 0) return nullptr;
        }
        out = Ref::steal(fill.finish(false));
        if (hidden.add_untracked(out.get()) < 0) return nullptr;
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
    return hidden_record(S.rec_array, out.get());
}

PyObject* Encoder::encode_mapping(PyObject* value) {
    Ref out;
    if (PyDict_CheckExact(value)) {
        const Py_ssize_t size = PyDict_GET_SIZE(value);
        out = Ref::steal(_PyDict_NewPresized(size));
        if (!out) return nullptr;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
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
        out = Ref::steal(PyDict_New());
        if (!out) return nullptr;
        if (walk_items(value, [&](PyObject* k, PyObject* v) {
                Ref enc = Ref::steal(encode_child(v));
                return enc ? PyDict_SetItem(out.get(), k, enc.get()) : -1;
            }) < 0)
            return nullptr;
    }
    if (hidden.add(out.get()) < 0) return nullptr;
    return hidden_record(S.rec_dict, out.get());
}

PyObject* Encoder::encode_date(PyObject* value, int is_datetime64) {
    // A missing timestamp is sent as a missing value, not as the text NaT.
    PyObject* nat = attr_slot(pd_NaT, pd, N.g_pd, S.NaT);
    if (!nat) return nullptr;
    if (value == nat) return null_record();
    if (is_datetime64) {
        PyObject* isnat = attr_slot(np_isnat, np, N.g_np, S.isnat);
        if (!isnat) return nullptr;
        Ref missing = call1(isnat, value);
        if (!missing) return nullptr;
        int truth = PyObject_IsTrue(missing.get());
        if (truth < 0) return nullptr;
        if (truth) return null_record();
        // Microseconds: the finest precision datetime.fromisoformat reads.
        PyObject* fmt = attr_slot(np_datetime_as_string, np, N.g_np, S.datetime_as_string);
        if (!fmt) return nullptr;
        Ref text = call2(fmt, value, S.us);
        if (!text) return nullptr;
        return plain_steal(S.rec_date, PyObject_Str(text.get()));
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
            PyObject* tzcls = attr_slot(dt_timezone, dt, N.g_dt, S.timezone);
            if (!tzcls) return nullptr;
            if (!dt_utc && !(dt_utc = getattr(tzcls, S.utc))) return nullptr;
            v = call_method(value, S.astimezone, dt_utc.get());
            if (!v) return nullptr;
        }
    }
    return plain_steal(S.rec_date, call_method(v.get(), S.isoformat).release());
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
    // The rows are ours until the table is dropped: kept from the collector
    // like the result, and handed back before they go (or live on elsewhere).
    Hidden scratch;
    if (scratch.add(table.get()) < 0) return nullptr;
    PyList_SET_ITEM(table.get(), 0, labels.release());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        Py_INCREF(row);
        PyList_SET_ITEM(table.get(), i + 1, row);
        if (PyList_CheckExact(row) && scratch.add(row) < 0) {
            scratch.reveal();
            return nullptr;
        }
    }
    rows.reset();  // the rows live on in the table only
    PyObject* result = encode_child(table.get());
    scratch.reveal();
    return result;
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
        PyObject* isna = attr_slot(pd_isna, pd, N.g_pd, S.isna);
        if (!isna) break;
        Ref answer = call1(isna, value);
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
    PyTypeObject* tp = Py_TYPE(value);
    // 1. None
    if (value == Py_None) return null_record();
    // 2. bool and numpy's bool_
    if (tp == &PyBool_Type) return bool_record(value == Py_True);
    PyObject* npb = attr_slot(np_bool, np, N.g_np, S.bool_);
    if (!npb) return nullptr;
    // Exact int, float and str: the tests that precede their steps still run
    // (np may have been rebound to anything), but as cheap class checks.
    if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyUnicode_Type) {
        int r = plain_is_instance(value, tp, npb);
        if (r < 0) return nullptr;
        if (r) return encode_numpy_bool(value);
        if (tp == &PyLong_Type) return plain(S.rec_int, value);     // 3.
        if (tp == &PyFloat_Type) return plain(S.rec_float, value);  // 4.
        PyObject* npi = attr_slot(np_integer, np, N.g_np, S.integer);
        if (!npi) return nullptr;
        if ((r = plain_is_instance(value, tp, npi)) != 0) return r < 0 ? nullptr : plain_steal(S.rec_int, PyNumber_Long(value));
        PyObject* npf = attr_slot(np_floating, np, N.g_np, S.floating);
        if (!npf) return nullptr;
        if ((r = plain_is_instance(value, tp, npf)) != 0)
            return r < 0 ? nullptr : plain_steal(S.rec_float, PyNumber_Float(value));
        return plain(S.rec_string, value);  // 5.
    }
    int r = is_instance(value, npb);
    if (r < 0) return nullptr;
    if (r) return encode_numpy_bool(value);
    // 3. int (a subclass is sent as the plain int)
    if (PyLong_Check(value)) return plain_steal(S.rec_int, PyNumber_Long(value));
    // 4. float
    if (PyFloat_Check(value)) return plain_steal(S.rec_float, PyNumber_Float(value));
    // numpy integer and floating scalars are numbers, not text.
    PyObject* npi = attr_slot(np_integer, np, N.g_np, S.integer);
    if (!npi) return nullptr;
    r = is_instance(value, npi);
    if (r < 0) return nullptr;
    if (r) return plain_steal(S.rec_int, PyNumber_Long(value));
    PyObject* npf = attr_slot(np_floating, np, N.g_np, S.floating);
    if (!npf) return nullptr;
    r = is_instance(value, npf);
    if (r < 0) return nullptr;
    if (r) return plain_steal(S.rec_float, PyNumber_Float(value));
    // 5. str: the value itself
    if (PyUnicode_Check(value)) return plain(S.rec_string, value);
    return encode_rest(value);
}

PyObject* Encoder::encode_numpy_bool(PyObject* value) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return nullptr;
    return bool_record(truth != 0);
}

PyObject* Encoder::encode_rest(PyObject* value) {
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
        // bytes(value): honours a subclass's __bytes__; the encoder reads
        // the buffer of whatever bytes object that gives.
        Ref raw = Ref::steal(PyObject_Bytes(value));
        if (!raw) return nullptr;
        PyObject* b64 = global_slot(base64, N.g_base64);
        if (!b64) return nullptr;
        Ref encoded = call_method(b64, S.b64encode, raw.get());
        if (!encoded) return nullptr;
        return plain_steal(S.rec_bytes, call_method(encoded.get(), S.decode, S.ascii).release());
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
    return plain_steal(S.rec_string, PyObject_Str(value));
}

// ------------------------------------------------------------------ decoder

struct Decoder {
    Ref serializer, child_fn;
    int native_children = -1;
    Ref dt, dt_datetime, base64, array_cls, dict_cls, object_cls;

    PyObject* decode(PyObject* wire);
    PyObject* decode_child(PyObject* item);
    Ref new_container(Ref& slot, PyObject* cls_name, PyObject* wire, Ref& n, PyObject* v, int* truth);
    PyObject* decode_array(PyObject* wire, Ref& n, PyObject* v);
    PyObject* decode_dict(PyObject* wire, Ref& n, PyObject* v);
};

PyObject* Decoder::decode_child(PyObject* item) {
    if (native_children < 0) {
        PyObject* ser = global_slot(serializer, N.g_Serializer);
        if (!ser) return nullptr;
        child_fn = getattr(ser, N.from_wire);
        if (!child_fn) return nullptr;
        native_children = is_our_function(child_fn.get(), from_wire_spec()) ? 1 : 0;
    }
    if (native_children) {
        // The nested record passes the same argument check as the top one.
        if (!PyDict_CheckExact(item)) {
            PyObject* argv[1] = {item};
            return call_native(from_wire_spec(), argv, 1);
        }
        return decode(item);
    }
    return PyObject_CallOneArg(child_fn.get(), item);
}

enum class Tag { Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, Other };

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

// Equality with the plain tags, in their order; -1 on a failed comparison.
// Tags that come from the add-in are equal texts, not our interned objects.
int classify(PyObject* t, Tag* out) {
    if (PyUnicode_CheckExact(t)) {
        for (const auto& o : kTags) {
            if (t == *o.name) {
                *out = o.tag;
                return 0;
            }
        }
        if (PyUnicode_IS_READY(t) && PyUnicode_KIND(t) == PyUnicode_1BYTE_KIND) {
            const Py_ssize_t len = PyUnicode_GET_LENGTH(t);
            const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(t));
            for (const auto& o : kTags) {
                if (len == o.len && std::memcmp(data, o.text, len) == 0) {
                    *out = o.tag;
                    return 0;
                }
            }
        } else {
            for (const auto& o : kTags) {
                if (PyUnicode_Compare(t, *o.name) == 0) {
                    *out = o.tag;
                    return 0;
                }
            }
            if (PyErr_Occurred()) return -1;
        }
        *out = Tag::Other;
        return 0;
    }
    for (const auto& o : kTags) {
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

// The array or dict proxy for the record's "id", made before any element is
// decoded; *truth is the truth value of the record's "value".
Ref Decoder::new_container(Ref& slot, PyObject* cls_name, PyObject* wire, Ref& n, PyObject* v, int* truth) {
    if (late_entry(n, wire, N.id) < 0) return Ref();
    PyObject* cls = global_slot(slot, cls_name);
    Ref proxy = cls ? call1(cls, n.get()) : Ref();
    if (!proxy) return proxy;
    *truth = PyObject_IsTrue(v);
    return *truth < 0 ? Ref() : std::move(proxy);
}

PyObject* Decoder::decode_array(PyObject* wire, Ref& n, PyObject* v) {
    int truth;
    Ref proxy = new_container(array_cls, N.g_OfficeJsArray, wire, n, v, &truth);
    if (!proxy) return nullptr;
    Ref items;
    if (truth && PyList_CheckExact(v)) {
        ListFill fill;
        if (fill.init(PyList_GET_SIZE(v)) < 0) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            PyObject* elem = PyList_GET_ITEM(v, i);
            Py_INCREF(elem);
            PyObject* dec = decode_child(elem);
            Py_DECREF(elem);
            if (fill.push(dec) < 0) return nullptr;
        }
        items = Ref::steal(fill.finish());
    } else {
        items = Ref::steal(PyList_New(0));
        if (!items) return nullptr;
        if (truth) {
            Ref it = Ref::steal(PyObject_GetIter(v));
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
    }
    if (!call_method(proxy.get(), N.extend, items.get())) return nullptr;
    return proxy.release();
}

PyObject* Decoder::decode_dict(PyObject* wire, Ref& n, PyObject* v) {
    int truth;
    Ref proxy = new_container(dict_cls, N.g_OfficeJsDict, wire, n, v, &truth);
    if (!proxy) return nullptr;
    Ref entries;
    if (truth && PyDict_CheckExact(v)) {
        // v.items() of a plain dict, without a tuple per entry.
        const Py_ssize_t size = PyDict_GET_SIZE(v);
        entries = Ref::steal(_PyDict_NewPresized(size));
        if (!entries) return nullptr;
        Py_ssize_t pos = 0;
        PyObject *k, *item;
        while (PyDict_Next(v, &pos, &k, &item)) {
            Ref key = Ref::borrow(k), keep = Ref::borrow(item);
            Ref dec = Ref::steal(decode_child(item));
            if (!dec || PyDict_SetItem(entries.get(), key.get(), dec.get()) < 0) return nullptr;
            if (PyDict_GET_SIZE(v) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return nullptr;
            }
        }
    } else {
        entries = Ref::steal(PyDict_New());
        if (!entries) return nullptr;
    }
    if (truth && !PyDict_CheckExact(v)) {
        if (walk_items(v, [&](PyObject* key, PyObject* item) {
                Ref dec = Ref::steal(decode_child(item));
                return dec ? PyDict_SetItem(entries.get(), key, dec.get()) : -1;
            }) < 0)
            return nullptr;
    }
    if (!call_method(proxy.get(), N.update, entries.get())) return nullptr;
    return proxy.release();
}

PyObject* Decoder::decode(PyObject* wire) {
    Ref t = entry(wire, N.type);
    if (!t) return nullptr;
    Ref keep_v = entry(wire, N.value);
    if (!keep_v) return nullptr;
    PyObject* v = keep_v.get();
    // Comparing an exact str tag runs no user code, so "isSpec" and "id" may
    // be read where they are needed. Any other tag compares by its own
    // __eq__, which may change the record: they are read before it.
    Ref s, n;
    if (!PyUnicode_CheckExact(t.get()) && (late_entry(s, wire, N.isSpec) < 0 || late_entry(n, wire, N.id) < 0))
        return nullptr;
    Tag tag;
    if (classify(t.get(), &tag) < 0) return nullptr;
    switch (tag) {
        case Tag::Null:
            Py_RETURN_NONE;
        case Tag::Bool: {
            int truth = PyObject_IsTrue(v);
            if (truth < 0) return nullptr;
            return PyBool_FromLong(truth);
        }
        case Tag::Int:
            if (PyLong_CheckExact(v)) return keep_v.release();
            return PyNumber_Long(v);
        case Tag::Float:
            if (PyFloat_CheckExact(v)) return keep_v.release();
            return PyNumber_Float(v);
        case Tag::String:
            if (PyUnicode_CheckExact(v)) return keep_v.release();
            return PyObject_Str(v);
        case Tag::Date: {
            PyObject* cls = attr_slot(dt_datetime, dt, N.g_dt, S.datetime);
            Ref parsed = cls ? call_method(cls, S.fromisoformat, v) : Ref();
            if (parsed) return parsed.release();
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
            return keep_v.release();
        }
        case Tag::Bytes: {
            int truth = PyObject_IsTrue(v);
            if (truth < 0) return nullptr;
            PyObject* b64 = global_slot(base64, N.g_base64);
            if (!b64) return nullptr;
            return call_method(b64, S.b64decode, truth ? v : S.empty_bytes).release();
        }
        case Tag::Array: {
            DepthGuard depth;
            if (depth.enter(" while decoding a wire value") < 0) return nullptr;
            return decode_array(wire, n, v);
        }
        case Tag::Dict: {
            DepthGuard depth;
            if (depth.enter(" while decoding a wire value") < 0) return nullptr;
            return decode_dict(wire, n, v);
        }
        case Tag::Other:
            break;
    }
    if (late_entry(s, wire, N.isSpec) < 0) return nullptr;
    int spec = PyObject_IsTrue(s.get());
    if (spec < 0) return nullptr;
    if (spec) {
        Ref oid = Ref::steal(PyNumber_Long(v));
        PyObject* cls = oid ? global_slot(object_cls, N.g_OfficeJsObject) : nullptr;
        if (!cls) return nullptr;
        return call2(cls, oid.get(), t.get()).release();
    }
    return PyObject_Str(v);
}

// ------------------------------------------------------------------ methods

PyObject* to_wire_impl(const FuncSpec&, Bound& a) {
    Encoder enc;
    PyObject* result = enc.encode(a.v[0]);
    if (result) enc.hidden.reveal();
    return result;
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
