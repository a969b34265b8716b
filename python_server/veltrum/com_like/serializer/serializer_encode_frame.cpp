// pandas Series and DataFrame: a table of the column labels and the rows,
// encoded as the list [labels, *rows] would be.
#include "serializer/serializer_encoder.h"
#include "serializer/serializer_walk.h"

namespace com_like {
namespace ser {

New Encoder::encode_frame(PyObject* value, int is_series) {
    Ref frame = is_series ? call_method(value, S.to_frame) : Ref::borrow(value);
    if (!frame) return New();
    Ref cols = getattr(frame.get(), S.columns);
    Ref labels = cols ? call_method(cols.get(), S.tolist) : Ref();
    Ref vals = labels ? frame_values(frame.get()) : Ref();
    if (!vals) return New();
    FrameCells cells;
    int flat = frame_cells(vals.get(), &cells);
    if (flat < 0) return New();
    if (flat) {
        int native = children.resolve(N.to_wire, to_wire_spec());
        if (native < 0) return New();
        // Exact lists would go straight to step 8: the table's records are
        // made from the cells without the table.
        if (native && earlier_steps_by_type()) {
            fast_list = true;
            return encode_cells_table(labels.get(), cells);
        }
    }
    Ref rows = flat ? frame_cut_rows(cells) : frame_rows(vals.get());
    if (!rows) return New();
    return encode_table(labels, rows);
}

// encode_child([labels, *rows]). The rows are ours until the table is
// dropped: kept from the collector like the result, and handed back before
// they go (or live on elsewhere).
New Encoder::encode_table(Ref& labels, Ref& rows) {
    Ref table = Ref::steal(PyList_New(PyList_GET_SIZE(rows.get()) + 1));
    if (!table) return New();
    Hidden scratch;
    if (scratch.add(table.get()) < 0) return New();
    PyList_SET_ITEM(table.get(), 0, labels.release());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        PyList_SET_ITEM(table.get(), i + 1, Ref::borrow(row).release());
        if (PyList_CheckExact(row) && scratch.add_any(row) < 0) return New();
    }
    rows.reset();  // the rows live on in the table only
    New result = encode_child(table.get());
    scratch.reveal();
    return result;
}

// What encode_sequence([labels, *rows]) gives, each row read from the cells.
New Encoder::encode_cells_table(PyObject* labels, const FrameCells& cells) {
    DepthGuard depth;
    if (depth.enter(" while encoding a wire value") < 0) return New();
    ListFill table;
    if (table.init(cells.n + 1) < 0 || table.push(encode_child(labels)) < 0) return New();
    for (Py_ssize_t i = 0; i < cells.n; ++i) {
        if (table.push(encode_cells_row(cells.flat.get(), i * cells.m, (i + 1) * cells.m)) < 0) return New();
    }
    Ref items = table.finish(false);
    if (hidden.add_any(items.get()) < 0) return New();
    return hidden_record(S.rec_array, items.get());
}

// What encode_sequence(flat[start:stop]) gives, without the slice.
New Encoder::encode_cells_row(PyObject* flat, Py_ssize_t start, Py_ssize_t stop) {
    DepthGuard depth;
    if (depth.enter(" while encoding a wire value") < 0) return New();
    ListFill row;
    if (row.init(stop - start) < 0 ||
        walk_range(
            flat, start, stop, row, [this](PyObject* item) { return encode_child(item); },
            [this](PyObject* item, New* out) { return encode_in_place(item, out); }) < 0)
        return New();
    Ref items = row.finish(false);
    if (hidden.add_any(items.get()) < 0) return New();
    return hidden_record(S.rec_array, items.get());
}

// value.values; datetime64/timedelta64 cells would come out of it as
// integers of nanoseconds, so those of the object frame (pandas scalars) are
// taken.
Ref Encoder::frame_values(PyObject* frame) {
    Ref vals = getattr(frame, N.values);
    Ref dtype = vals ? getattr(vals.get(), S.dtype) : Ref();
    Ref kind = dtype ? getattr(dtype.get(), S.kind_) : Ref();
    if (!kind) return kind;
    int temporal = PySequence_Contains(S.mM, kind.get());
    if (temporal < 0) return Ref();
    if (temporal && PyUnicode_Check(kind.get()) && PyUnicode_GET_LENGTH(kind.get()) == 1) {
        Ref objframe = call_method(frame, S.astype, S.object);
        if (!objframe) return objframe;
        vals = getattr(objframe.get(), N.values);
    }
    return vals;
}

// vals.tolist() as a list.
Ref Encoder::frame_rows(PyObject* vals) {
    Ref rows = call_method(vals, S.tolist);
    if (!rows || PyList_CheckExact(rows.get())) return rows;
    return Ref::steal(PySequence_List(rows.get()));
}

// The cells of a two-dimensional numpy array (the class itself, whose
// reads run no code of ours) in one list, row after row: no list per row
// made while the collector watches. The list is hidden from it, being ours
// alone. 1 with *cells set, 0 when `vals` is not such an array, -1 on error.
int Encoder::frame_cells(PyObject* vals, FrameCells* cells) {
    // step_ndarray, ahead of step_frame, has looked np.ndarray up already.
    if (!np_ndarray || Py_TYPE(vals) != reinterpret_cast<PyTypeObject*>(np_ndarray.get())) return 0;
    Ref shape = getattr(vals, S.shape);
    if (!shape) return -1;
    if (!PyTuple_CheckExact(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) return 0;
    const Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0));
    const Py_ssize_t m = n < 0 ? -1 : PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 1));
    if (m < 0) return PyErr_Occurred() ? -1 : 0;
    Ref flat = call_method(vals, S.ravel);
    Ref list = flat ? call_method(flat.get(), S.tolist) : Ref();
    if (!list) return -1;
    if (!PyList_CheckExact(list.get()) || PyList_GET_SIZE(list.get()) != n * m) return 0;
    PyObject_GC_UnTrack(list.get());
    cells->flat = std::move(list);
    cells->n = n;
    cells->m = m;
    return 1;
}

// The rows of the cells as vals.tolist() gives them, each left untracked
// for encode_table() to hand back.
Ref Encoder::frame_cut_rows(const FrameCells& cells) {
    ListFill out;
    if (out.init(cells.n) < 0) return Ref();
    for (Py_ssize_t i = 0; i < cells.n; ++i) {
        Ref row = Ref::steal(PyList_GetSlice(cells.flat.get(), i * cells.m, (i + 1) * cells.m));
        if (!row) return row;
        PyObject_GC_UnTrack(row.get());
        if (out.push(row.transfer()) < 0) return Ref();
    }
    return out.finish(false);
}

}  // namespace ser
}  // namespace com_like
