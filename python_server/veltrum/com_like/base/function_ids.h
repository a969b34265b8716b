// Every native function of the module, by id: the only list of them. A
// function's declaration (its FuncSpec, next to its body) is immutable and
// names its id; what is made for it at start-up lives in P.functions[id]
// (state.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace com_like {

enum class Fn : uint8_t {
    // Serializer (serializer.cpp)
    serializer_to_wire,
    serializer_from_wire,
    // Messaging (messaging.cpp, callable_registry.cpp)
    messaging_init,
    messaging_set_send_handler,
    messaging_on_message,
    messaging_send_request_sync,
    messaging_reset,
    messaging_register_callable,
    messaging_get_callable,
    messaging_unregister_callable,
    // the proxy operations, module globals _cw__getattr__ ... (proxies.cpp)
    operation_getattr,
    operation_getitem,
    operation_setattr,
    operation_call,
    operation_del,
    // OfficeJsObject, OfficeJsArray, OfficeJsDict (proxy_classes.cpp)
    object_init,
    object_getattr,
    object_getitem,
    object_setattr,
    object_call,
    object_del,
    object_repr,
    array_init,
    array_getattr,
    array_setattr,
    array_call,
    array_del,
    array_repr,
    dict_init,
    dict_getattr,
    dict_setattr,
    dict_call,
    dict_del,
    dict_repr,
    // OfficeJsTransaction (transaction.cpp)
    transaction_init,
    transaction_start,
    transaction_commit,
    transaction_enter,
    transaction_exit,
    transaction_del,
    transaction_repr,
    count
};

inline constexpr size_t kFunctionCount = size_t(Fn::count);

// The most named parameters a function declares.
inline constexpr int kMaxParams = 6;

}  // namespace com_like
