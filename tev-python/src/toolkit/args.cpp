#include "toolkit/args.h"

#include <limits>

namespace tev::python {
namespace {

void wrong_type(PyObject* obj, const char* name, const char* expected) {
  PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not %s", name, expected,
               Py_TYPE(obj)->tp_name);
}

template <class T>
std::optional<T> signed_in_range(PyObject* obj, const char* name) {
  if (!PyLong_Check(obj)) {
    wrong_type(obj, name, "int");
    return std::nullopt;
  }
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow != 0 || value < std::numeric_limits<T>::min() ||
      value > std::numeric_limits<T>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' is out of range", name);
    return std::nullopt;
  }
  return static_cast<T>(value);
}

template <class T>
std::optional<T> unsigned_in_range(PyObject* obj, const char* name) {
  if (!PyLong_Check(obj)) {
    wrong_type(obj, name, "int");
    return std::nullopt;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_OverflowError, "argument '%s' is out of range", name);
    }
    return std::nullopt;
  }
  if (value > std::numeric_limits<T>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' is out of range", name);
    return std::nullopt;
  }
  return static_cast<T>(value);
}

}  // namespace

bool parse_args(const char* function, PyObject* args, PyObject* kwargs,
                std::initializer_list<const char*> names, size_t required, PyObject** out) {
  return parse_args(function, args, kwargs, names, required, names.size(), out);
}

bool parse_args(const char* function, PyObject* args, PyObject* kwargs,
                std::initializer_list<const char*> names, size_t required, size_t positional, PyObject** out) {
  std::string format;
  std::vector<char*> keywords;
  size_t i = 0;
  for (const char* name : names) {
    if (i == required) format += '|';
    if (i++ == positional) format += '$';
    format += 'O';
    keywords.push_back(const_cast<char*>(name));
  }
  keywords.push_back(nullptr);
  format += ':';
  format += function;
  // One pointer argument per name; there are at most a handful.
  PyObject** o = out;
  switch (names.size()) {
    case 0: return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data());
    case 1: return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &o[0]);
    case 2:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &o[0], &o[1]);
    case 3:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &o[0], &o[1],
                                         &o[2]);
    case 4:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &o[0], &o[1],
                                         &o[2], &o[3]);
    case 5:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &o[0], &o[1],
                                         &o[2], &o[3], &o[4]);
    case 6:
      return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &o[0], &o[1],
                                         &o[2], &o[3], &o[4], &o[5]);
    default:
      PyErr_SetString(PyExc_SystemError, "too many arguments declared");
      return false;
  }
}

std::optional<std::string> arg_str(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    wrong_type(obj, name, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<size_t>(size));
}

std::optional<std::string> arg_fs_name(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    wrong_type(obj, name, "str");
    return std::nullopt;
  }
  PyObject* encoded = PyUnicode_EncodeFSDefault(obj);
  if (encoded == nullptr) return std::nullopt;
  std::string out(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
  Py_DECREF(encoded);
  return out;
}

std::optional<std::vector<uint8_t>> arg_bytes(PyObject* obj, const char* name) {
  if (!PyBytes_Check(obj)) {
    wrong_type(obj, name, "bytes");
    return std::nullopt;
  }
  auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
  return std::vector<uint8_t>(data, data + PyBytes_GET_SIZE(obj));
}

std::optional<uint64_t> arg_u64(PyObject* obj, const char* name) {
  return unsigned_in_range<uint64_t>(obj, name);
}
std::optional<uint32_t> arg_u32(PyObject* obj, const char* name) {
  return unsigned_in_range<uint32_t>(obj, name);
}
std::optional<int64_t> arg_i64(PyObject* obj, const char* name) {
  return signed_in_range<int64_t>(obj, name);
}
std::optional<int32_t> arg_i32(PyObject* obj, const char* name) {
  return signed_in_range<int32_t>(obj, name);
}

std::optional<bool> arg_bool(PyObject* obj, const char* name) {
  if (!PyBool_Check(obj)) {
    wrong_type(obj, name, "bool");
    return std::nullopt;
  }
  return obj == Py_True;
}

}  // namespace tev::python
