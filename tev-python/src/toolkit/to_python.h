#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tev::python {

// Byte buffers become bytes; a distinct type so that text never does.
struct Bytes {
  std::vector<uint8_t> data;
};

// Results as new references (nullptr with an exception set on failure).
inline PyObject* to_python(bool value) { return PyBool_FromLong(value); }
inline PyObject* to_python(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(uint32_t value) { return PyLong_FromUnsignedLong(value); }
inline PyObject* to_python(uint16_t value) { return PyLong_FromUnsignedLong(value); }
inline PyObject* to_python(uint8_t value) { return PyLong_FromUnsignedLong(value); }
inline PyObject* to_python(int64_t value) { return PyLong_FromLongLong(value); }
inline PyObject* to_python(int32_t value) { return PyLong_FromLong(value); }
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
// Text read from images is not always valid UTF-8; bad bytes become U+FFFD.
inline PyObject* to_python(const std::string& value) {
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}
// A name stored as bytes in an archive, decoded the way os.fsdecode does:
// bytes that do not decode are kept as surrogate escapes, so the str goes
// back to the same bytes.
inline PyObject* fs_name_to_python(const std::string& value) {
  return PyUnicode_DecodeFSDefaultAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}
inline PyObject* to_python(const Bytes& value) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data.data()),
                                   static_cast<Py_ssize_t>(value.data.size()));
}

template <class T>
PyObject* to_python(const std::optional<T>& value) {
  if (!value) Py_RETURN_NONE;
  return to_python(*value);
}

template <class T>
PyObject* to_python(const std::vector<T>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = to_python(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace tev::python

namespace tev::python {

// A list built with a converter of one's own (value classes, for example).
template <class T, class F>
PyObject* to_list(const std::vector<T>& values, F&& convert) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = convert(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace tev::python
