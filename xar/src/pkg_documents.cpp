// The package documents (PackageInfo, Distribution) and the payload layers.
#include "pkg_documents.h"

#include <fmt/format.h>

#include "codecs.h"
#include "safe_xml.h"
#include "tev/common/text.h"
#include "tev/xar/xar_reader.h"
#include "toc_values.h"

namespace tev::xar {
namespace {

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Walks the elements of a document: f(name, depth, reader) at each start
// tag, text(t) for the text inside. Entity references are refused.
template <class Start, class Text>
std::expected<void, XarError> walk_document(std::string_view doc, Start&& on_start, Text&& on_text) {
  SafeXmlReader xml = make_safe_reader(bytes_of(doc));
  if (xml.declares_entities)
    return std::unexpected(
        XarError::xml_parse("XML error: the document declares entities of its own, which are not allowed"));
  if (!xml.reader) return std::unexpected(XarError::xml_parse("XML error: cannot read a document of this size"));
  xmlTextReader* r = xml.reader.get();
  for (;;) {
    int rc = xmlTextReaderRead(r);
    if (rc < 0) return std::unexpected(XarError::xml_parse("XML error: " + *xml.first_error));
    if (rc == 0) break;
    int depth = xmlTextReaderDepth(r);
    switch (xmlTextReaderNodeType(r)) {
      case XML_READER_TYPE_ELEMENT: on_start(xml_view(xmlTextReaderConstName(r)), depth, r); break;
      case XML_READER_TYPE_TEXT:
      case XML_READER_TYPE_CDATA: on_text(xml_view(xmlTextReaderConstValue(r)), depth); break;
      case XML_READER_TYPE_ENTITY_REFERENCE:
        return std::unexpected(XarError::xml_parse(
            fmt::format("XML error: entity reference &{}; is not allowed", xml_view(xmlTextReaderConstName(r)))));
      default: break;
    }
  }
  if (!xml.first_error->empty()) return std::unexpected(XarError::xml_parse("XML error: " + *xml.first_error));
  return {};
}

std::optional<uint64_t> number_attribute(xmlTextReader* r, const char* name) {
  auto text = xml_attribute(r, name);
  if (!text) return std::nullopt;
  auto value = parse_u64(*text);
  return value ? std::optional<uint64_t>(*value) : std::nullopt;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "#core.pkg", "file:./core%20tools.pkg" -> "core.pkg", "core tools.pkg".
std::optional<std::string> component_of_ref(std::string_view text) {
  std::string_view t = trim_space(text);
  if (t.starts_with("#")) t.remove_prefix(1);
  else if (t.starts_with("file:")) t.remove_prefix(5);
  while (t.starts_with("./")) t.remove_prefix(2);
  if (t.empty()) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '%' && i + 2 < t.size() && hex_digit(t[i + 1]) >= 0 && hex_digit(t[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(t[i + 1]) * 16 + hex_digit(t[i + 2]));
      i += 2;
    } else {
      out += t[i];
    }
  }
  return utf8_lossy(out);
}

bool has_cpio_magic(std::span<const uint8_t> b) {
  if (b.size() < 6) return false;
  std::string_view m(reinterpret_cast<const char*>(b.data()), 6);
  return m == "070701" || m == "070702" || m == "070707";
}

std::string first_bytes(std::span<const uint8_t> b) {
  if (b.empty()) return "is empty";
  std::string out = "starts with";
  for (size_t i = 0; i < std::min<size_t>(b.size(), 6); ++i) out += fmt::format(" {:02x}", b[i]);
  return out;
}

std::expected<Buffer, XarError> gunzip(std::span<const uint8_t> in) {
  auto decoder = make_deflate_decoder();
  Buffer out;
  out.reserve(std::min<size_t>(in.size() * 4, size_t{64} << 20));
  std::vector<uint8_t> work(256 * 1024);
  for (bool finished = false; !finished;) {
    auto step = decoder->step(in, work);
    if (!step) return std::unexpected(XarError::decompression_failed("gzip: " + step.error()));
    in = in.subspan(step->consumed);
    if (step->produced > kMaxMemberSize - out.size())
      return std::unexpected(XarError::decompression_failed("gzip: payload decodes to more than the limit"));
    out.insert(out.end(), work.begin(), work.begin() + static_cast<ptrdiff_t>(step->produced));
    finished = step->finished;
    if (!finished && step->consumed == 0 && step->produced == 0)
      return std::unexpected(XarError::decompression_failed("gzip: stream ends before its end marker"));
  }
  return out;
}

}  // namespace

std::expected<ComponentInfo, XarError> parse_package_info(std::string_view text) {
  ComponentInfo info;
  bool in_scripts = false;
  auto on_start = [&](std::string_view name, int depth, xmlTextReader* r) {
    if (depth == 0 && name == "pkg-info") {
      info.identifier = xml_attribute(r, "identifier");
      info.version = xml_attribute(r, "version");
      info.install_location = xml_attribute(r, "install-location");
      info.auth = xml_attribute(r, "auth");
    } else if (depth == 1) {
      in_scripts = name == "scripts";
      if (name == "payload") {
        info.payload_file_count = number_attribute(r, "numberOfFiles");
        info.install_kbytes = number_attribute(r, "installKBytes");
      }
    } else if (depth == 2 && in_scripts) {
      info.scripts.push_back({std::string(name), xml_attribute(r, "file").value_or("")});
    }
  };
  auto r = walk_document(text, on_start, [](std::string_view, int) {});
  if (!r) return std::unexpected(r.error());
  return info;
}

std::expected<DistributionInfo, XarError> parse_distribution(std::string_view text) {
  DistributionInfo info;
  constexpr size_t kNone = SIZE_MAX;
  size_t open_ref = kNone;  // the pkg-ref whose text is being read
  int ref_depth = -1;
  bool in_title = false;
  std::string title;
  auto on_start = [&](std::string_view name, int depth, xmlTextReader* r) {
    in_title = depth == 1 && name == "title" && !info.title;
    if (in_title && xmlTextReaderIsEmptyElement(r) == 1) info.title = "";
    open_ref = kNone;
    if (name != "pkg-ref") return;
    auto id = xml_attribute(r, "id");
    if (!id) return;
    size_t at = 0;
    while (at < info.pkg_refs.size() && info.pkg_refs[at].id != *id) ++at;
    if (at == info.pkg_refs.size()) info.pkg_refs.push_back({*id, std::nullopt, std::nullopt, std::nullopt});
    PkgRef& ref = info.pkg_refs[at];
    if (!ref.version) ref.version = xml_attribute(r, "version");
    if (!ref.install_kbytes) ref.install_kbytes = number_attribute(r, "installKBytes");
    if (xmlTextReaderIsEmptyElement(r) != 1) open_ref = at, ref_depth = depth;
  };
  auto on_text = [&](std::string_view t, int depth) {
    if (in_title && depth == 2) title += t;
    if (open_ref != kNone && depth == ref_depth + 1 && !info.pkg_refs[open_ref].component)
      info.pkg_refs[open_ref].component = component_of_ref(t);
  };
  auto r = walk_document(text, on_start, on_text);
  if (!r) return std::unexpected(r.error());
  if (!title.empty()) info.title = std::string(trim_space(title));
  return info;
}

std::expected<PayloadBytes, XarError> classify_payload(Buffer bytes, std::string_view member) {
  std::span<const uint8_t> b(bytes);
  if (b.size() >= 4 && b[0] == 'p' && b[1] == 'b' && b[2] == 'z' && b[3] == 'x')
    return PayloadBytes{PayloadFormat::Pbzx, std::move(bytes)};
  if (has_cpio_magic(b)) return PayloadBytes{PayloadFormat::Cpio, std::move(bytes)};
  if (b.size() >= 2 && b[0] == 0x1f && b[1] == 0x8b) {
    auto cpio = gunzip(b);
    if (!cpio) return std::unexpected(cpio.error());
    if (!has_cpio_magic(*cpio))
      return std::unexpected(XarError::unsupported_encoding(fmt::format(
          "gzip-compressed {} does not hold a CPIO archive (it {})", quoted_form(member), first_bytes(*cpio))));
    return PayloadBytes{PayloadFormat::Cpio, std::move(*cpio)};
  }
  return std::unexpected(XarError::unsupported_encoding(
      fmt::format("{} is neither PBZX, gzip-compressed CPIO nor CPIO (it {})", quoted_form(member), first_bytes(b))));
}

}  // namespace tev::xar
