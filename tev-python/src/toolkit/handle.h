#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <string>

#include "toolkit/access.h"
#include "toolkit/args.h"

namespace tev::python {

// A Python object owning one open resource. An absent state means closed, for
// good: nothing reopens a handle. Traits name the class and give its state
// type and open representation:
//   struct Traits {
//     using State = ...;
//     static constexpr const char* kName = "DmgArchive";
//     static std::string repr_open(const State&);
//   };
template <class Traits>
struct HandleObject {
  PyObject_HEAD
  AccessFlag access;
  std::unique_ptr<typename Traits::State> state;
};

template <class Traits>
HandleObject<Traits>* as_handle(PyObject* self) {
  return reinterpret_cast<HandleObject<Traits>*>(self);
}

template <class Traits>
PyObject* new_handle(PyTypeObject* type, std::unique_ptr<typename Traits::State> state) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* handle = as_handle<Traits>(self);
  new (&handle->access) AccessFlag();
  new (&handle->state) std::unique_ptr<typename Traits::State>(std::move(state));
  return self;
}

template <class Traits>
void handle_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* handle = as_handle<Traits>(self);
  handle->state.~unique_ptr();
  handle->access.~AccessFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

// What a closed handle says and shows; builders that end in a finished
// state name it themselves (kClosedMessage, kClosedRepr).
template <class Traits>
PyObject* set_closed_error() {
  if constexpr (requires { Traits::kClosedMessage; })
    PyErr_SetString(PyExc_RuntimeError, Traits::kClosedMessage);
  else
    PyErr_Format(PyExc_RuntimeError, "%s is closed", Traits::kName);
  return nullptr;
}

template <class Traits>
std::string closed_repr() {
  if constexpr (requires { Traits::kClosedRepr; })
    return Traits::kClosedRepr;
  else
    return std::string(Traits::kName) + "(closed)";
}

// The body of a method or property: takes access, refuses a closed handle,
// then runs f(State&) -> PyObject*.
template <class Traits, class F>
PyObject* with_state(PyObject* self, Access mode, F&& f) {
  auto* handle = as_handle<Traits>(self);
  AccessGuard guard(handle->access, mode);
  if (!guard.ok()) return nullptr;
  if (!handle->state) return set_closed_error<Traits>();
  return f(*handle->state);
}

// Moves the state out of the object, which is closed (finished) from then
// on; nullptr with the exception set when access or the state is missing.
template <class Traits>
std::unique_ptr<typename Traits::State> take_state(PyObject* self) {
  auto* handle = as_handle<Traits>(self);
  AccessGuard guard(handle->access, Access::Exclusive);
  if (!guard.ok()) return nullptr;
  if (!handle->state) {
    set_closed_error<Traits>();
    return nullptr;
  }
  return std::move(handle->state);
}

template <class Traits>
PyObject* handle_enter(PyObject* self, PyObject*) {
  AccessGuard guard(as_handle<Traits>(self)->access, Access::Shared);
  if (!guard.ok()) return nullptr;
  return Py_NewRef(self);
}

// Closes the handle and returns False, so an exception raised in the with
// block goes on; closing a closed handle does nothing.
template <class Traits>
PyObject* handle_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* unused[3] = {nullptr, nullptr, nullptr};
  if (!parse_args("__exit__", args, kwargs, {"_exc_type", "_exc_val", "_exc_tb"}, 0, unused))
    return nullptr;
  auto* handle = as_handle<Traits>(self);
  AccessGuard guard(handle->access, Access::Exclusive);
  if (!guard.ok()) return nullptr;
  handle->state.reset();
  Py_RETURN_FALSE;
}

template <class Traits>
PyObject* handle_repr(PyObject* self) {
  auto* handle = as_handle<Traits>(self);
  AccessGuard guard(handle->access, Access::Shared);
  if (!guard.ok()) return nullptr;
  std::string text = handle->state ? Traits::repr_open(*handle->state) : closed_repr<Traits>();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <class Traits>
PyMethodDef enter_method() {
  return {"__enter__", &handle_enter<Traits>, METH_NOARGS, "__enter__($self)\n--\n\n"};
}

template <class Traits>
PyMethodDef exit_method() {
  return {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&handle_exit<Traits>)),
          METH_VARARGS | METH_KEYWORDS,
          "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"};
}

// Creates a handle's type object. Without `constructor` the class cannot be
// instantiated from Python and is made by its static constructors. `methods`
// and `properties` are static tables the type refers to for its lifetime.
template <class Traits>
PyTypeObject* make_handle_type(const char* name, const char* doc, PyMethodDef* methods,
                               PyGetSetDef* properties, newfunc constructor = nullptr) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_methods, methods},
      {Py_tp_getset, properties},
      {Py_tp_repr, reinterpret_cast<void*>(&handle_repr<Traits>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&handle_dealloc<Traits>)},
      {constructor ? Py_tp_new : 0, reinterpret_cast<void*>(constructor)},
      {0, nullptr},
  };
  unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (constructor == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec spec = {name, static_cast<int>(sizeof(HandleObject<Traits>)), 0,
                      static_cast<unsigned int>(flags), slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace tev::python
