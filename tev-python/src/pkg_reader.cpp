// PkgReader: a macOS flat installer package.
#include <memory>

#include "archive.h"
#include "error.h"
#include "open_from_path.h"
#include "tev/common/byte_source.h"
#include "tev/pipeline/payload.h"
#include "tev/xar/pkg_reader.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"
#include "xar_values.h"

namespace tev::python {
namespace {

struct PkgReaderClass {
  using State = xar::PkgReader;
  static constexpr const char* kName = "PkgReader";
  static std::string repr_open(const State&) { return "PkgReader(open)"; }
};
using C = PkgReaderClass;
using State = C::State;
using pipeline::PipelineError;

PyTypeObject* g_type = nullptr;

PyObject* open(PyObject*, PyObject* args, PyObject* kwargs) {
  return open_from_path<C>(g_type, args, kwargs, [](ByteSource source) { return State::open(std::move(source)); });
}

// The body of a method taking one component name, run without the lock:
// f(reader, component) -> expected<T, E>, then convert(T) with the lock.
template <class F, class Convert>
PyObject* with_component(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, F&& f, Convert&& convert) {
  PyObject* obj = nullptr;
  if (!parse_args(name, args, kwargs, {"component"}, 1, &obj)) return nullptr;
  return with_state<C>(self, Access::Exclusive, [&](State& s) -> PyObject* {
    auto component = arg_str(obj, "component");
    if (!component) return nullptr;
    auto result = without_gil([&] { return f(s, *component); });
    if (!result) return raise_error(PipelineError(result.error()));
    return convert(*result);
  });
}

PyObject* bytes_of(const Buffer& b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

PyObject* is_product_package(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return to_python(s.is_product_package()); });
}

PyObject* components(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return to_python(s.component_names()); });
}

PyObject* signature(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return make_signature_info(s.xar().signature()); });
}

PyObject* list_files(PyObject* self, PyObject*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return to_python(s.list_files()); });
}

PyObject* distribution(PyObject* self, PyObject*) {
  return with_state<C>(self, Access::Exclusive, [](State& s) -> PyObject* {
    auto text = without_gil([&] { return s.distribution(); });
    if (!text) return raise_error(PipelineError(text.error()));
    return to_python(*text);
  });
}

PyObject* distribution_info(PyObject* self, PyObject*) {
  return with_state<C>(self, Access::Exclusive, [](State& s) -> PyObject* {
    auto info = without_gil([&] { return s.distribution_info(); });
    if (!info) return raise_error(PipelineError(info.error()));
    if (!*info) Py_RETURN_NONE;
    return make_distribution_info(**info);
  });
}

PyObject* package_info(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_component(self, args, kwargs, "package_info",
                        [](State& s, const std::string& c) { return s.package_info(c); },
                        [](const std::optional<std::string>& t) { return to_python(t); });
}

PyObject* component_info(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_component(self, args, kwargs, "component_info",
                        [](State& s, const std::string& c) { return s.component_info(c); },
                        [](const std::optional<xar::ComponentInfo>& i) -> PyObject* {
                          if (!i) Py_RETURN_NONE;
                          return make_component_info(*i);
                        });
}

PyObject* payload_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_component(self, args, kwargs, "payload_bytes",
                        [](State& s, const std::string& c) { return s.read_payload(c); }, &bytes_of);
}

PyObject* payload(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_component(self, args, kwargs, "payload",
                        [](State& s, const std::string& c) { return pipeline::payload_cpio(s, c); },
                        [](Buffer& cpio) { return make_archive(std::move(cpio)); });
}

PyObject* scripts(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_component(self, args, kwargs, "scripts",
                        [](State& s, const std::string& c) { return pipeline::scripts_cpio(s, c); },
                        [](Buffer& cpio) { return make_archive(std::move(cpio)); });
}

PyMethodDef kMethods[] = {
    keyword_method("open", &open, "open(path)\n--\n\nOpen a .pkg file from a file path.", METH_STATIC),
    no_args_method("list_files", &list_files, "list_files($self)\n--\n\nList all file paths in the XAR archive."),
    no_args_method("distribution", &distribution,
                   "distribution($self)\n--\n\nGet the distribution XML, if this is a product package."),
    no_args_method("distribution_info", &distribution_info,
                   "distribution_info($self)\n--\n\nGet the parsed Distribution (title and pkg-refs), or None."),
    keyword_method("package_info", &package_info,
                   "package_info($self, component)\n--\n\nGet the PackageInfo XML for a component."),
    keyword_method("component_info", &component_info,
                   "component_info($self, component)\n--\n\nGet the parsed PackageInfo of a component, or None."),
    keyword_method("payload_bytes", &payload_bytes,
                   "payload_bytes($self, component)\n--\n\nExtract the raw payload bytes for a component."),
    keyword_method("payload", &payload,
                   "payload($self, component)\n--\n\n"
                   "Extract the payload for a component, returning an Archive for reading files."),
    keyword_method("scripts", &scripts,
                   "scripts($self, component)\n--\n\nOpen the Scripts archive of a component as an Archive."),
    enter_method<C>(),
    exit_method<C>(),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"is_product_package", &is_product_package, nullptr, "Whether this is a product (distribution) package.",
     nullptr},
    {"components", &components, nullptr, "List of component package names.", nullptr},
    {"signature", &signature, nullptr, "Signature information of the package (not verified).", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] =
    "macOS PKG package reader.\n\nUse as a context manager::\n\n"
    "    with tev.PkgReader.open(\"Installer.pkg\") as pkg:\n"
    "        for component in pkg.components:\n"
    "            archive = pkg.payload(component)";

}  // namespace

PyObject* make_pkg_reader(xar::PkgReader reader) {
  return new_handle<C>(g_type, std::make_unique<State>(std::move(reader)));
}

int add_pkg_reader(PyObject* module) {
  return add_type(module, "PkgReader", g_type,
                  [] { return make_handle_type<C>("_tev.PkgReader", kDoc, kMethods, kProperties); });
}

}  // namespace tev::python
