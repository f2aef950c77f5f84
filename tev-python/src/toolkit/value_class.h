#pragma once

#include <Python.h>

#include <new>
#include <string>

#include "toolkit/to_python.h"

namespace tev::python {

// A Python object holding an immutable C++ record. Value classes cannot be
// instantiated from Python and expose their fields as read-only attributes.
template <class T>
struct ValueObject {
  PyObject_HEAD
  T value;
};

template <class T>
const T& value_of(PyObject* self) {
  return reinterpret_cast<ValueObject<T>*>(self)->value;
}

template <class T>
void value_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ValueObject<T>*>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// A new instance of a value class holding `value`.
template <class T>
PyObject* new_value(PyTypeObject* type, T value) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<ValueObject<T>*>(self)->value) T(std::move(value));
  return self;
}

template <class M>
struct MemberOf;
template <class C, class F>
struct MemberOf<F C::*> {
  using Class = C;
};

// The getter of one field, generated from a pointer to the member.
template <auto Member>
PyObject* get_field(PyObject* self, void*) {
  using T = typename MemberOf<decltype(Member)>::Class;
  return to_python(value_of<T>(self).*Member);
}

template <auto Member>
PyGetSetDef field(const char* name, const char* doc = nullptr) {
  return {name, &get_field<Member>, nullptr, doc, nullptr};
}

inline constexpr PyGetSetDef kEndOfFields = {nullptr, nullptr, nullptr, nullptr, nullptr};

// Creates the type object of a value class: `name` is the qualified name
// ("_tev.ExtractStats"); `fields` is a static table ending in kEndOfFields,
// since the type refers to it for as long as it lives.
template <class T>
PyTypeObject* make_value_type(const char* name, const char* doc, PyGetSetDef* fields,
                              reprfunc repr) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_getset, fields},
      {Py_tp_repr, reinterpret_cast<void*>(repr)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&value_dealloc<T>)},
      {0, nullptr},
  };
  PyType_Spec spec = {
      name,
      static_cast<int>(sizeof(ValueObject<T>)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// A representation from text already built in C++.
inline PyObject* repr_result(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace tev::python
