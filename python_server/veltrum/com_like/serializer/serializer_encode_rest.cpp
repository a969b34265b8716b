// The encoder's uncommon steps: dates, bytes, numpy arrays, the step of
// pandas frames (their encoding is in serializer_encode_frame) and the
// missing-value probe, proxies, callables.
#include "serializer/serializer_encoder.h"

namespace com_like {
namespace ser {

int Encoder::step_date(PyObject* value, New* out) {
    PyObject* c1 = attr_slot(dt_datetime, dt, N.mod_dt, S.datetime).get();
    PyObject* c2 = c1 ? attr_slot(dt_date, dt, N.mod_dt, S.date).get() : nullptr;
    PyObject* c3 = c2 ? attr_slot(pd_Timestamp, pd, N.mod_pd, S.Timestamp).get() : nullptr;
    PyObject* c4 = c3 ? attr_slot(np_datetime64, np, N.mod_np, S.datetime64).get() : nullptr;
    if (!c4) return -1;
    PyObject* const classes[] = {c1, c2, c3};
    for (PyObject* c : classes) {
        int r = is_instance(value, c);
        if (r != 0) return r < 0 ? -1 : step_took(encode_date(value, 0), out);
    }
    int r = is_instance(value, c4);
    return r <= 0 ? r : step_took(encode_date(value, 1), out);
}

New Encoder::encode_date(PyObject* value, int is_datetime64) {
    // A missing timestamp is sent as a missing value, not as the text NaT.
    PyObject* nat = attr_slot(pd_NaT, pd, N.mod_pd, S.NaT).get();
    if (!nat) return New();
    if (value == nat) return null_record();
    if (is_datetime64) return encode_datetime64(value);
    Ref v = Ref::borrow(value);
    int is_dt = is_instance(value, dt_datetime.get());
    if (is_dt < 0) return New();
    if (is_dt) {
        Ref tz = getattr(value, S.tzinfo);
        if (!tz) return New();
        int truth = PyObject_IsTrue(tz.get());
        if (truth < 0) return New();
        if (truth) {
            PyObject* tzcls = attr_slot(dt_timezone, dt, N.mod_dt, S.timezone).get();
            if (!tzcls) return New();
            if (!dt_utc && !(dt_utc = getattr(tzcls, S.utc))) return New();
            v = call_method(value, S.astimezone, dt_utc.get());
            if (!v) return New();
        }
    }
    return plain_steal(S.rec_date, call_method(v.get(), S.isoformat));
}

New Encoder::encode_datetime64(PyObject* value) {
    PyObject* isnat = attr_slot(np_isnat, np, N.mod_np, S.isnat).get();
    if (!isnat) return New();
    Ref missing = call1(isnat, value);
    if (!missing) return New();
    int truth = PyObject_IsTrue(missing.get());
    if (truth < 0) return New();
    if (truth) return null_record();
    // Microseconds: the finest precision datetime.fromisoformat reads.
    PyObject* fmt = attr_slot(np_datetime_as_string, np, N.mod_np, S.datetime_as_string).get();
    if (!fmt) return New();
    Ref text = call2(fmt, value, S.us);
    if (!text) return New();
    return plain_steal(S.rec_date, New(PyObject_Str(text.get())));
}

int Encoder::step_bytes(PyObject* value, New* out) {
    if (!PyBytes_Check(value) && !PyByteArray_Check(value) && !PyMemoryView_Check(value)) return 0;
    // bytes(value): honours a subclass's __bytes__; the encoder reads the
    // buffer of whatever bytes object that gives.
    Ref raw = Ref::steal(PyObject_Bytes(value));
    if (!raw) return -1;
    PyObject* b64 = global_slot(base64, N.mod_base64).get();
    if (!b64) return -1;
    Ref encoded = call_method(b64, S.b64encode, raw.get());
    if (!encoded) return -1;
    return step_took(plain_steal(S.rec_bytes, call_method(encoded.get(), S.decode, S.ascii)), out);
}

// numpy arrays are containers: their elements, never their elided text.
int Encoder::step_ndarray(PyObject* value, New* out) {
    PyObject* nda = attr_slot(np_ndarray, np, N.mod_np, S.ndarray).get();
    if (!nda) return -1;
    int r = is_instance(value, nda);
    return r <= 0 ? r : step_took(encode_ndarray(value), out);
}

New Encoder::encode_ndarray(PyObject* value) {
    // Nested lists as the array is; datetimes at microseconds so that the
    // cells become datetime objects rather than integers of nanoseconds.
    Ref dtype = getattr(value, S.dtype);
    Ref kind = dtype ? getattr(dtype.get(), S.kind_) : Ref();
    if (!kind) return New();
    Ref arr = Ref::borrow(value);
    if (PyUnicode_Check(kind.get()) && PyUnicode_GET_LENGTH(kind.get()) == 1) {
        Py_UCS4 c = PyUnicode_READ_CHAR(kind.get(), 0);
        if (c == 'M' || c == 'm') {
            arr = call_method(value, S.astype, c == 'M' ? S.dt64_us : S.td64_us);
            if (!arr) return New();
        }
    }
    Ref lst = call_method(arr.get(), S.tolist);
    if (!lst) return New();
    return encode_child(lst.get());
}

// The missing-value probe, then 10. pandas Series and DataFrame. The probe
// is skipped for those two: their isna is a frame, never a truth value, and
// computing it would cost a pass over every cell.
int Encoder::step_frame(PyObject* value, New* out) {
    PyObject* series = attr_slot(pd_Series, pd, N.mod_pd, S.Series).get();
    PyObject* frame = series ? attr_slot(pd_DataFrame, pd, N.mod_pd, S.DataFrame).get() : nullptr;
    if (!frame) return -1;
    int is_series = is_instance(value, series);
    if (is_series < 0) return -1;
    int is_frame = is_series ? 0 : is_instance(value, frame);
    if (is_frame < 0) return -1;
    if (is_series || is_frame) return step_took(encode_frame(value, is_series), out);
    return is_missing(value) ? step_took(null_record(), out) : 0;
}

// The missing-value test: pandas' isna for values that are not proxies. Any
// failure, and any answer that is not a single truth value, counts as "no".
int Encoder::is_missing(PyObject* value) {
    ErrorStash keep;  // nothing of the probe may leak out
    int result = is_missing_probe(value);
    PyErr_Clear();
    return result;
}

int Encoder::is_missing_probe(PyObject* value) {
    PyObject* cls = global_slot(ojo, N.mod_OfficeJsObject).get();
    if (!cls || is_instance(value, cls) != 0) return 0;
    PyObject* isna = attr_slot(pd_isna, pd, N.mod_pd, S.isna).get();
    Ref answer = isna ? call1(isna, value) : Ref();
    if (!answer) return 0;
    if (PyBool_Check(answer.get())) return answer.get() == Py_True;
    PyObject* npb = attr_slot(np_bool, np, N.mod_np, S.bool_).get();
    if (!npb) return 0;
    return is_instance(answer.get(), npb) == 1 && PyObject_IsTrue(answer.get()) == 1;
}

int Encoder::step_proxy(PyObject* value, New* out) {
    PyObject* cls = global_slot(ojo, N.mod_OfficeJsObject).get();
    if (!cls) return -1;
    int r = is_instance(value, cls);
    if (r <= 0) return r;
    Ref tname = getattr(value, N._internal_typeName);
    Ref oid = tname ? getattr(value, N._internal_id) : Ref();
    if (!oid) return -1;
    return step_took(record(tname.get(), oid.get(), Py_True), out);
}

int Encoder::step_callable(PyObject* value, New* out) {
    if (!PyCallable_Check(value)) return 0;
    Ref msg = get_global(N.mod_messaging);
    Ref id = msg ? call_method(msg.get(), N.register_callable, value) : Ref();
    if (!id) return -1;
    return step_took(record(N.Python_Function, id.get(), Py_True), out);
}

}  // namespace ser
}  // namespace com_like
