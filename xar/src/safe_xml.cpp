#include "safe_xml.h"

#include <climits>
#include <mutex>
#include <optional>

namespace tev::xar {
namespace {

void keep_first_error(void* out, xmlErrorPtr error) {
  auto* first = static_cast<std::string*>(out);
  if (!first->empty() || error == nullptr || error->message == nullptr) return;
  std::string text = error->message;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  *first = text.empty() ? "malformed document" : text;
}

}  // namespace

SafeXmlReader make_safe_reader(std::span<const uint8_t> text) {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  SafeXmlReader out;
  if (text.size() > static_cast<size_t>(INT_MAX)) return out;
  if (prolog_declares_entities(text)) {
    out.declares_entities = true;
    return out;
  }
  // Without XML_PARSE_NOENT entities are not substituted; without the DTD
  // options no external subset is read.
  constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  out.reader.reset(xmlReaderForMemory(reinterpret_cast<const char*>(text.data()), static_cast<int>(text.size()),
                                      nullptr, nullptr, kOptions));
  if (out.reader) xmlTextReaderSetStructuredErrorHandler(out.reader.get(), &keep_first_error, out.first_error.get());
  return out;
}

bool prolog_declares_entities(std::span<const uint8_t> text) {
  std::string_view t(reinterpret_cast<const char*>(text.data()), text.size());
  size_t doctype = t.find("<!DOCTYPE");
  if (doctype == std::string_view::npos) return false;
  // The root element starts at the first "<" followed by a name character.
  size_t root = doctype;
  for (;;) {
    root = t.find('<', root + 1);
    if (root == std::string_view::npos || root + 1 >= t.size()) break;
    char c = t[root + 1];
    if (c != '!' && c != '?') break;
  }
  return t.substr(doctype, root == std::string_view::npos ? t.npos : root - doctype).find("<!ENTITY") != t.npos;
}

std::optional<std::string> xml_attribute(xmlTextReader* r, const char* name) {
  xmlChar* value = xmlTextReaderGetAttribute(r, reinterpret_cast<const xmlChar*>(name));
  if (value == nullptr) return std::nullopt;
  std::string text(xml_view(value));
  xmlFree(value);
  return text;
}

}  // namespace tev::xar
