// CpioBuilder: writes a "070701" CPIO archive in memory.
#include <memory>

#include "archive.h"
#include "error.h"
#include "tev/pbzx/cpio_writer.h"
#include "toolkit/args.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct CpioBuilderClass {
  using State = pbzx::CpioWriter;
  static constexpr const char* kName = "CpioBuilder";
  static constexpr const char* kClosedMessage = "CpioBuilder already finished";
  static constexpr const char* kClosedRepr = "CpioBuilder(finished)";
  static std::string repr_open(const State& s) { return "CpioBuilder(len=" + std::to_string(s.size()) + ")"; }
};
using State = CpioBuilderClass::State;

PyTypeObject* g_type = nullptr;

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!parse_args("CpioBuilder", args, kwargs, {}, 0, nullptr)) return nullptr;
  return new_handle<CpioBuilderClass>(type, std::make_unique<State>());
}

// path, a second argument (converted by `second`), and an optional mode.
template <class Second, class Add>
PyObject* add_entry(PyObject* self, PyObject* args, PyObject* kwargs, const char* function,
                    std::initializer_list<const char*> names, size_t required, uint32_t default_mode, Second&& second,
                    Add&& add) {
  PyObject* objs[3] = {nullptr, nullptr, nullptr};
  if (!parse_args(function, args, kwargs, names, required, objs)) return nullptr;
  return with_state<CpioBuilderClass>(self, Access::Exclusive, [&](State& s) -> PyObject* {
    auto path = arg_str(objs[0], "path");
    if (!path) return nullptr;
    size_t mode_slot = names.size() - 1;
    auto value = second(objs[1]);
    if (!value) return nullptr;
    uint32_t mode = default_mode;
    if (objs[mode_slot] != nullptr) {
      auto m = arg_u32(objs[mode_slot], "mode");
      if (!m) return nullptr;
      mode = *m;
    }
    return add(s, *path, *value, mode);
  });
}

PyObject* add_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add_entry(
      self, args, kwargs, "add_file", {"path", "content", "mode"}, 2, 0644,
      [](PyObject* o) { return arg_bytes(o, "content"); },
      [](State& s, const std::string& path, const std::vector<uint8_t>& content, uint32_t mode) -> PyObject* {
        if (auto r = s.add_file(path, content, mode); !r) return raise_error(pipeline::PipelineError(r.error()));
        Py_RETURN_NONE;
      });
}

PyObject* add_directory(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add_entry(
      self, args, kwargs, "add_directory", {"path", "mode"}, 1, 0755,
      [](PyObject*) { return std::optional<bool>(true); },
      [](State& s, const std::string& path, bool, uint32_t mode) -> PyObject* {
        s.add_directory(path, mode);
        Py_RETURN_NONE;
      });
}

PyObject* add_symlink(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add_entry(
      self, args, kwargs, "add_symlink", {"path", "target", "mode"}, 2, 0777,
      [](PyObject* o) { return arg_str(o, "target"); },
      [](State& s, const std::string& path, const std::string& target, uint32_t mode) -> PyObject* {
        s.add_symlink(path, target, mode);
        Py_RETURN_NONE;
      });
}

// Takes the writer out of the object: the builder is finished from now on.
PyObject* finish(PyObject* self, PyObject*) {
  std::unique_ptr<State> writer = take_state<CpioBuilderClass>(self);
  if (!writer) return nullptr;
  std::vector<uint8_t> archive = std::move(*writer).finish();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(archive.data()),
                                   static_cast<Py_ssize_t>(archive.size()));
}

PyObject* len(PyObject* self, void*) {
  return with_state<CpioBuilderClass>(self, Access::Shared, [](State& s) { return to_python(uint64_t{s.size()}); });
}

PyMethodDef kMethods[] = {
    keyword_method("add_file", &add_file, "add_file($self, path, content, mode=420)\n--\n\nAdd a file to the archive."),
    keyword_method("add_directory", &add_directory,
                   "add_directory($self, path, mode=493)\n--\n\nAdd a directory to the archive."),
    keyword_method("add_symlink", &add_symlink,
                   "add_symlink($self, path, target, mode=511)\n--\n\nAdd a symlink to the archive."),
    no_args_method("finish", &finish, "finish($self)\n--\n\nFinalize and return the CPIO archive data."),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"len", &len, nullptr, "Number of bytes written so far.", nullptr},
    kEndOfProperties,
};

}  // namespace

int add_cpio_builder(PyObject* module) {
  return add_type(module, "CpioBuilder", g_type, [] {
    return make_handle_type<CpioBuilderClass>("_tev.CpioBuilder", "CpioBuilder()\n--\n\nBuilder for creating CPIO archives.",
                                              kMethods, kProperties, &construct);
  });
}

}  // namespace tev::python
