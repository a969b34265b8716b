// The Messaging methods that keep the registry of callables.
#pragma once

#include "function.h"

namespace com_like {

extern FuncSpec messaging_register_callable_spec;
extern FuncSpec messaging_get_callable_spec;
extern FuncSpec messaging_unregister_callable_spec;

}  // namespace com_like
