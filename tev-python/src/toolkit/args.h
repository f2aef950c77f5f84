#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace tev::python {

// Unpacks positional-or-keyword arguments into borrowed references. The first
// `required` names are mandatory; slots of absent optional ones are left as
// they are. Returns false with the host's TypeError set.
bool parse_args(const char* function, PyObject* args, PyObject* kwargs,
                std::initializer_list<const char*> names, size_t required, PyObject** out);
// The same where only the first `positional` names may be given by position;
// the rest are keyword-only.
bool parse_args(const char* function, PyObject* args, PyObject* kwargs,
                std::initializer_list<const char*> names, size_t required, size_t positional, PyObject** out);

// Converters: each returns nullopt with an exception set, naming the argument.
// Paths and names are str only (not bytes, not path-like), used as UTF-8.
std::optional<std::string> arg_str(PyObject* obj, const char* name);
// A name of an archive entry: str, turned back into the stored bytes the way
// os.fsencode does (surrogate escapes become the bytes they stand for).
std::optional<std::string> arg_fs_name(PyObject* obj, const char* name);
// Data is bytes only (not bytearray or memoryview), copied.
std::optional<std::vector<uint8_t>> arg_bytes(PyObject* obj, const char* name);
// Integers: int only, range-checked to the width (OverflowError outside it).
std::optional<uint64_t> arg_u64(PyObject* obj, const char* name);
std::optional<uint32_t> arg_u32(PyObject* obj, const char* name);
std::optional<int64_t> arg_i64(PyObject* obj, const char* name);
std::optional<int32_t> arg_i32(PyObject* obj, const char* name);
// Booleans: bool only.
std::optional<bool> arg_bool(PyObject* obj, const char* name);

}  // namespace tev::python
