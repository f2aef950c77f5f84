// `_tev_selftest`: a test-only extension module built on the binding toolkit,
// so that the conventions every class relies on (access flags, closed
// handles, argument conversion, error mapping) can be tested before, and
// independently of, the real classes. It is never installed.
#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "error.h"
#include "extract_stats.h"
#include "tev/pipeline/pipeline_error.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

using pipeline::PipelineError;

struct ProbeClass {
  struct State {
    std::string name;
  };
  static constexpr const char* kName = "Probe";
  static std::string repr_open(const State& s) { return "Probe(" + s.name + ")"; }
};

PyTypeObject* g_probe = nullptr;

PyObject* probe_open(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* name_obj = nullptr;
  if (!parse_args("open", args, kwargs, {"name"}, 1, &name_obj)) return nullptr;
  auto name = arg_str(name_obj, "name");
  if (!name) return nullptr;
  return new_handle<ProbeClass>(g_probe, std::make_unique<ProbeClass::State>(ProbeClass::State{*name}));
}

PyObject* probe_name(PyObject* self, void*) {
  return with_state<ProbeClass>(self, Access::Shared,
                                [](ProbeClass::State& s) { return to_python(s.name); });
}

// What a hold is doing, so that a test waits for events instead of sleeping.
struct HoldEvents {
  std::mutex lock;
  std::condition_variable changed;
  bool holding = false;
  bool released = false;
} g_hold;

// Holds exclusive access with the interpreter lock released, as the long
// operations do, until release_hold() is called or the time is up.
PyObject* probe_hold(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* seconds_obj = nullptr;
  if (!parse_args("hold", args, kwargs, {"milliseconds"}, 1, &seconds_obj)) return nullptr;
  auto ms = arg_u32(seconds_obj, "milliseconds");
  if (!ms) return nullptr;
  return with_state<ProbeClass>(self, Access::Exclusive, [&](ProbeClass::State&) -> PyObject* {
    without_gil([&] {
      std::unique_lock guard(g_hold.lock);
      g_hold.holding = true;
      g_hold.changed.notify_all();
      g_hold.changed.wait_for(guard, std::chrono::milliseconds(*ms), [] { return g_hold.released; });
      g_hold.holding = g_hold.released = false;
    });
    Py_RETURN_NONE;
  });
}

// Returns once a hold has exclusive access.
PyObject* wait_for_hold(PyObject*, PyObject*) {
  without_gil([] {
    std::unique_lock guard(g_hold.lock);
    g_hold.changed.wait(guard, [] { return g_hold.holding; });
  });
  Py_RETURN_NONE;
}

// Ends the hold in progress.
PyObject* release_hold(PyObject*, PyObject*) {
  std::lock_guard guard(g_hold.lock);
  g_hold.released = true;
  g_hold.changed.notify_all();
  Py_RETURN_NONE;
}

PyMethodDef kProbeMethods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&probe_open)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "open(name)\n--\n\nOpen a probe."},
    {"hold", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&probe_hold)),
     METH_VARARGS | METH_KEYWORDS, "hold($self, milliseconds)\n--\n\nHold exclusive access."},
    enter_method<ProbeClass>(),
    exit_method<ProbeClass>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProbeProperties[] = {
    {"name", &probe_name, nullptr, "The probe's name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// convert(kind, value): runs one argument converter and returns its result.
PyObject* convert(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* objs[2] = {nullptr, nullptr};
  if (!parse_args("convert", args, kwargs, {"kind", "value"}, 2, objs)) return nullptr;
  auto kind = arg_str(objs[0], "kind");
  if (!kind) return nullptr;
  PyObject* v = objs[1];
  auto out = [](const auto& r) -> PyObject* { return r ? to_python(*r) : nullptr; };
  if (*kind == "str") return out(arg_str(v, "path"));
  if (*kind == "bytes") {
    auto r = arg_bytes(v, "data");
    return r ? to_python(Bytes{std::move(*r)}) : nullptr;
  }
  if (*kind == "u64") return out(arg_u64(v, "chunk_size"));
  if (*kind == "u32") return out(arg_u32(v, "compression_level"));
  if (*kind == "i32") return out(arg_i32(v, "partition_id"));
  if (*kind == "i64") return out(arg_i64(v, "offset"));
  if (*kind == "bool") return out(arg_bool(v, "streaming"));
  PyErr_SetString(PyExc_ValueError, "unknown kind");
  return nullptr;
}

// raise_error(kind, text=""): raises a PipelineError through the one routine.
PyObject* raise(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* objs[2] = {nullptr, nullptr};
  if (!parse_args("raise_error", args, kwargs, {"kind", "text"}, 1, objs)) return nullptr;
  auto kind = arg_str(objs[0], "kind");
  if (!kind) return nullptr;
  std::string text;
  if (objs[1] != nullptr) {
    auto t = arg_str(objs[1], "text");
    if (!t) return nullptr;
    text = *t;
  }
  if (*kind == "Io") return raise_error(IoError::from_errno(ENOENT));
  if (*kind == "IoEof") return raise_error(IoError::unexpected_eof());
  if (*kind == "FileNotFound") return raise_error(PipelineError::file_not_found(text));
  if (*kind == "NoHfsPartition") return raise_error(PipelineError::no_hfs_partition());
  if (*kind == "NoApfsPartition") return raise_error(PipelineError::no_apfs_partition());
  if (*kind == "NoFilesystemPartition") return raise_error(PipelineError::no_filesystem_partition());
  if (*kind == "InvalidPath") return raise_error(PipelineError::invalid_path(text));
  if (*kind == "NoEntriesUnder") return raise_error(PipelineError::no_entries_under(text));
  PyErr_SetString(PyExc_ValueError, "unknown kind");
  return nullptr;
}

PyObject* extract_stats(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* objs[4] = {};
  if (!parse_args("extract_stats", args, kwargs, {"files", "dirs", "symlinks_skipped", "bytes"}, 4,
                  objs))
    return nullptr;
  ExtractStats s;
  uint64_t* fields[] = {&s.files, &s.dirs, &s.symlinks_skipped, &s.bytes};
  for (int i = 0; i < 4; ++i) {
    auto v = arg_u64(objs[i], "value");
    if (!v) return nullptr;
    *fields[i] = *v;
  }
  return make_extract_stats(s);
}

#define TEV_KW_FUNCTION(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fn))

PyMethodDef kFunctions[] = {
    {"convert", TEV_KW_FUNCTION(convert), METH_VARARGS | METH_KEYWORDS,
     "convert(kind, value)\n--\n\nRun one argument converter."},
    {"raise_error", TEV_KW_FUNCTION(raise), METH_VARARGS | METH_KEYWORDS,
     "raise_error(kind, text='')\n--\n\nRaise a pipeline error."},
    {"extract_stats", TEV_KW_FUNCTION(extract_stats), METH_VARARGS | METH_KEYWORDS,
     "extract_stats(files, dirs, symlinks_skipped, bytes)\n--\n\nMake an ExtractStats."},
    {"wait_for_hold", &wait_for_hold, METH_NOARGS, "wait_for_hold()\n--\n\nWait until a Probe holds access."},
    {"release_hold", &release_hold, METH_NOARGS, "release_hold()\n--\n\nEnd the Probe hold in progress."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  PyObject* tev = PyImport_ImportModule("_tev");
  if (tev == nullptr) return -1;
  int rc = adopt_exceptions(tev) | adopt_extract_stats(tev);
  Py_DECREF(tev);
  if (rc != 0) return -1;
  return add_type(module, "Probe", g_probe, [] {
    return make_handle_type<ProbeClass>("_tev_selftest.Probe", "A test handle.", kProbeMethods,
                                        kProbeProperties);
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_tev_selftest", "Test-only probes of the binding toolkit.", 0,
    kFunctions, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tev::python

PyMODINIT_FUNC PyInit__tev_selftest() { return PyModuleDef_Init(&tev::python::kModule); }
