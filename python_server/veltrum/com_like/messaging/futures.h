// concurrent.futures as messaging uses it: the futures a request waits on.
#pragma once

#include "base/globals.h"

namespace com_like {

// concurrent.futures.<name> through the module global `concurrent`.
Ref concurrent_futures_attr(PyObject* name);

// fut.done() as 1/0, or -1 with an error set.
int future_done(PyObject* fut);

// fut.result(timeout), answered directly for a future that already holds a
// plain result (the answer came from inside the send handler).
Ref future_result(PyObject* fut, PyObject* timeout);

}  // namespace com_like
