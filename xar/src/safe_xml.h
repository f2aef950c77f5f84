#pragma once

#include <libxml/xmlreader.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tev::xar {

struct XmlReaderDeleter {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};

// A pull reader over bytes in memory that reads nothing else: no DTD is
// loaded, no network is reached, entities are left as references for the
// caller to refuse, and errors are collected instead of printed.
struct SafeXmlReader {
  std::unique_ptr<xmlTextReader, XmlReaderDeleter> reader;
  std::unique_ptr<std::string> first_error = std::make_unique<std::string>();
  bool declares_entities = false;  // refused before parsing: no reader
};

// nullptr reader when the prolog declares entities, the text is over 2 GiB
// or libxml2 cannot set up a reader.
SafeXmlReader make_safe_reader(std::span<const uint8_t> text);

inline std::string_view xml_view(const xmlChar* s) {
  return s == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(s));
}

// Whether the DOCTYPE before the root element declares entities of its own:
// such a document (the "billion laughs", an external entity) is refused
// before libxml2 reads it. Entities declared where this does not see them
// still arrive as references, which the readers refuse.
bool prolog_declares_entities(std::span<const uint8_t> text);

// An attribute of the current element, if present.
std::optional<std::string> xml_attribute(xmlTextReader* r, const char* name);

}  // namespace tev::xar
