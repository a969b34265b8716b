// What the proxy operations need to know of messaging beyond its Python
// methods.
#pragma once

#include "globals.h"

namespace com_like {

// True when `exc` is the exception that the last send_request_sync on this
// thread raised because the add-in answered with a failure (not a time-out,
// a cancellation, a missing handler or a failing handler). Compared by
// identity only; the record is cleared by the call.
bool messaging_take_answered_failure(PyObject* exc);

}  // namespace com_like
