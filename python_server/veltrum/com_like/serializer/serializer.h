// Wire value records: the entry points other subsystems use.
#pragma once

#include "base/globals.h"

namespace com_like {

// Serializer.to_wire(value) through the module global `Serializer`: the
// native encoder when its attribute is still ours, else the replacement.
Ref serializer_to_wire(PyObject* value);
// Serializer.from_wire(record), the same way.
Ref serializer_from_wire(PyObject* record);

namespace ser {
// Interns the serializer's names and builds its record templates (S), once;
// -1 with an error set. The execute step calls it after state_init(), whose
// names the templates use.
int serializer_records_init();
}  // namespace ser

}  // namespace com_like
