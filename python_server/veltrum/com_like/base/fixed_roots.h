// The objects that exist in the add-in from its start, under fixed ids. The
// module body binds a proxy for each root (proxies) and Messaging.reset
// re-stamps them (messaging); both read this one list.
#pragma once

#include "base/names.h"

namespace com_like {

struct FixedRoot {
    PyObject* Names::*global;
    long id;
    const char* type_name;
};
inline constexpr FixedRoot kFixedRoots[] = {
    {&Names::mod_Context, 0, "RequestContext"}, {&Names::mod_Excel, 1, "Excel"},
    {&Names::mod_GetSetting, 2, "Function"},    {&Names::mod_Union, 3, "Function"},
    {&Names::mod_Intersect, 4, "Function"},
};
// The add-in's transaction object, the fixed id after the roots.
inline constexpr long kTransactionId = 5;

}  // namespace com_like
