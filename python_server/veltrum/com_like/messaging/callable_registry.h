// The Messaging methods that keep the registry of callables.
#pragma once

#include "functions/function_params.h"

namespace com_like {

extern const FuncSpec messaging_register_callable_spec;
extern const FuncSpec messaging_get_callable_spec;
extern const FuncSpec messaging_unregister_callable_spec;

}  // namespace com_like
