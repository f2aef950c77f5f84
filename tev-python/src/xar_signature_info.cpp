// SignatureInfo: what a XAR's table of contents says about its signatures.
#include <fmt/format.h>

#include "tev/common/text.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"
#include "xar_values.h"

namespace tev::python {
namespace {

using xar::SignatureInfo;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& s = value_of<SignatureInfo>(self);
  std::string styles;
  for (const auto& style : s.styles) styles += (styles.empty() ? "" : ", ") + quoted_form(style);
  return repr_result(fmt::format("SignatureInfo(signed={}, styles=[{}])", s.is_signed ? "True" : "False", styles));
}

PyGetSetDef kFields[] = {
    field<&SignatureInfo::is_signed>("signed", "Whether the table of contents carries a signature."),
    field<&SignatureInfo::styles>("styles", "The signature styles in TOC order, such as \"RSA\" and \"CMS\"."),
    field<&SignatureInfo::common_names>("common_names",
                                        "Subject common names of the certificate chain, signer first."),
    kEndOfFields,
};

}  // namespace

int add_signature_info(PyObject* module) {
  return add_type(module, "SignatureInfo", g_type, [] {
    return make_value_type<SignatureInfo>(
        "_tev.SignatureInfo", "Signature information of a XAR archive, as recorded (not verified).", kFields, &repr);
  });
}

PyObject* make_signature_info(const SignatureInfo& value) { return new_value(g_type, value); }

}  // namespace tev::python
