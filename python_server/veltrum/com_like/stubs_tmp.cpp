#include "subsystems.h"
namespace com_like {
int body_serializer(PyObject*) { return 0; }
int body_proxy_functions(PyObject*) { return 0; }
int body_proxy_classes(PyObject*) { return 0; }
int body_transaction(PyObject*) { return 0; }
int body_root_proxies(PyObject*) { return 0; }
}
