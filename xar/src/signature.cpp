#include "signature.h"

#include <openssl/x509.h>

#include <climits>
#include <memory>

namespace tev::xar {

std::optional<std::string> certificate_common_name(std::span<const uint8_t> der) {
  if (der.size() > static_cast<size_t>(LONG_MAX)) return std::nullopt;
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
  if (!cert) return std::nullopt;
  X509_NAME* subject = X509_get_subject_name(cert.get());
  int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0) return std::nullopt;
  ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, data);
  if (n < 0) return std::nullopt;
  std::string name(reinterpret_cast<const char*>(utf8), static_cast<size_t>(n));
  OPENSSL_free(utf8);
  return name;
}

}  // namespace tev::xar
