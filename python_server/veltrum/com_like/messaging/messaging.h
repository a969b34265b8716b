// What the proxy operations need to know of messaging beyond its Python
// methods.
#pragma once

#include "base/globals.h"

namespace com_like {

// True when `exc` is the exception that the last send_request_sync on this
// thread raised because the add-in answered with a failure (not a time-out,
// a cancellation, a missing handler or a failing handler). Compared by
// identity only; the record is cleared by the call.
bool messaging_take_answered_failure(PyObject* exc);

// msg.send_request_sync(body) with its default time-out; at interpreter exit
// (`at_exit`) with no wait at all, as no listener thread runs any more.
Ref messaging_send(PyObject* msg, PyObject* body, bool at_exit);

}  // namespace com_like
