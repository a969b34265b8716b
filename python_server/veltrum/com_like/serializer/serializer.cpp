// Serializer: Python values to wire value records and back.
//
// The pieces: serializer_records (names, templates, tags), serializer_encode
// and serializer_encode_rest (the encoder), serializer_decode (the decoder),
// serializer_walk (the walks over sequences and mappings both use) and
// serializer_guards (depth, stack, lists filled in place, containers hidden
// from the collector). This unit makes the class and its two methods.
#include "serializer/serializer.h"

#include "functions/function.h"
#include "serializer/serializer_lookup.h"
#include "serializer/serializer_records.h"
#include "base/subsystems.h"

namespace com_like {
namespace ser {
namespace {

New serializer_to_wire_impl(const FuncSpec&, Bound& a) { return encode_wire(a.v[0]); }
New serializer_from_wire_impl(const FuncSpec&, Bound& a) { return decode_wire(a.v[0]); }

constexpr Param kToWire[] = {{"value", Check::Any, kRequired, "Any"}};
constexpr Param kFromWire[] = {{"wire", Check::Dict, kRequired, "Dict[str, Any]"}};

constexpr FuncSpec serializer_to_wire_spec{Fn::serializer_to_wire, "to_wire", "Serializer",
                           "Serialize a Python value to wire format for transmission.\n\n"
                           "Supports: None, bool, int, float, str, datetime, bytes, list, dict,\n"
                           "and OfficeJsObject wrappers.",
                           serializer_to_wire_impl, kToWire, returns("Dict[str, Any]")};
constexpr FuncSpec serializer_from_wire_spec{Fn::serializer_from_wire, "from_wire", "Serializer",
                             "Deserialize a wire format value back to Python.\n\n"
                             "Handles: Null, Bool, Int, Float, String, Date, Bytes, Array, Dict,\n"
                             "and special OfficeJs object references.",
                             serializer_from_wire_impl, kFromWire, returns("Any")};

Ref through_global(PyObject* attr, const FuncSpec& spec, PyObject* arg) {
    Ref ser = get_global(N.mod_Serializer);
    if (!ser) return ser;
    Ref fn = getattr(ser.get(), attr);
    if (!fn) return fn;
    return call_rebindable(fn.get(), spec, &arg, 1);
}

}  // namespace

const FuncSpec& to_wire_spec() { return serializer_to_wire_spec; }
const FuncSpec& from_wire_spec() { return serializer_from_wire_spec; }

}  // namespace ser

Ref serializer_to_wire(PyObject* value) {
    return ser::through_global(N.to_wire, ser::serializer_to_wire_spec, value);
}
Ref serializer_from_wire(PyObject* record) {
    return ser::through_global(N.from_wire, ser::serializer_from_wire_spec, record);
}

int body_serializer(PyObject* ns) {
    const Member members[] = {
        {&ser::serializer_to_wire_spec, true},
        {&ser::serializer_from_wire_spec, true},
    };
    Ref cls = Ref::steal(build_class("Serializer", reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                     "Handles marshaling of data types between Python and JavaScript.", members));
    if (!cls) return -1;
    return PyDict_SetItem(ns, N.mod_Serializer, cls.get());
}

}  // namespace com_like
