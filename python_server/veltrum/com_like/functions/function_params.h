// The parameter tables that several native functions share: the only place
// for a table used more than once.
#pragma once

#include "functions/function.h"

namespace com_like {

inline constexpr Param kSelfParams[] = {{"self"}};
inline constexpr Param kSelfNameParams[] = {{"self"}, {"name", Check::Str, kRequired, "str"}};
inline constexpr Param kSelfIndexParams[] = {{"self"}, {"index"}};
inline constexpr Param kSelfNameValueParams[] = {{"self"}, {"name", Check::Str, kRequired, "str"}, {"value"}};
// OfficeJsArray.__init__, OfficeJsDict.__init__
inline constexpr Param kSelfObjectIdParams[] = {{"self"}, {"object_id", Check::Int, kRequired, "int"}};
// Messaging.get_callable, Messaging.unregister_callable
inline constexpr Param kSelfCallableIdParams[] = {{"self"}, {"callable_id", Check::Str, kRequired, "str"}};

}  // namespace com_like
