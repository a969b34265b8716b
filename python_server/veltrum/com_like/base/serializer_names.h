// The serializer's part of the process-wide state (state.h): the names it
// looks up and the record templates it copies. `S` is the serializer's name
// for P.serializer.
#pragma once

#include "base/ref.h"

namespace com_like {
namespace ser {

struct SerNames {
    PyObject *bool_, *integer, *floating, *datetime64, *ndarray, *datetime, *date, *timezone, *utc, *Timestamp,
        *Series, *DataFrame, *isna, *NaT, *isnat, *to_frame, *columns, *tolist, *astype, *dtype, *kind_, *isoformat,
        *astimezone, *tzinfo, *b64encode, *b64decode, *decode, *ascii, *fromisoformat, *datetime_as_string, *us,
        *object, *dt64_us, *td64_us, *timedelta64, *mM, *empty_bytes, *sizeof_, *shape, *ravel;
    // Finished records, and records whose "value" is filled in per use.
    PyObject *rec_null, *rec_true, *rec_false, *rec_int, *rec_float, *rec_string, *rec_date, *rec_bytes,
        *rec_array, *rec_dict;
    // Byte offset of the "value" entry in the value array of a copy of the
    // plain templates; -1 when they are not laid out as checked at start-up.
    Py_ssize_t value_offset = -1;
    // Set last by serializer_records_init(): an import retried after a
    // start-up that failed part way fills in what is still missing.
    bool ready = false;
};

}  // namespace ser
}  // namespace com_like
