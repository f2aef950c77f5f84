// The TOC's XML grammar, read with libxml2's pull reader. The reader is set
// up so that nothing outside the document is ever read: no DTD is loaded and
// no network is reached. A document that declares entities of its own is
// refused before the reader starts, and any entity reference it meets is
// refused too, so nothing ever expands.
#include "toc_parser.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string_view>

#include <fmt/format.h>

#include "safe_xml.h"
#include "tev/common/base64.h"
#include "tev/common/text.h"
#include "toc_values.h"

namespace tev::xar {
namespace {

constexpr const char* kOctetStream = "application/octet-stream";

enum class Ctx { Xar, Toc, File, Data, Checksum, Signature, Ignored };

// The scalar elements whose text is captured, and which field each fills.
enum class Field {
  Name, Type, Link, Offset, Length, Size, ExtractedChecksum, ArchivedChecksum,
  Mode, Uid, Gid, Mtime, TocChecksumOffset, TocChecksumSize, Certificate,
};

struct ScalarElement {
  std::string_view element;
  Ctx inside;
  Field field;
};

constexpr ScalarElement kScalars[] = {
    {"name", Ctx::File, Field::Name},
    {"type", Ctx::File, Field::Type},
    {"link", Ctx::File, Field::Link},
    {"mode", Ctx::File, Field::Mode},
    {"uid", Ctx::File, Field::Uid},
    {"gid", Ctx::File, Field::Gid},
    {"mtime", Ctx::File, Field::Mtime},
    {"offset", Ctx::Data, Field::Offset},
    {"length", Ctx::Data, Field::Length},
    {"size", Ctx::Data, Field::Size},
    {"extracted-checksum", Ctx::Data, Field::ExtractedChecksum},
    // Older packages name the digest of the decoded bytes this way.
    {"unarchived-checksum", Ctx::Data, Field::ExtractedChecksum},
    {"archived-checksum", Ctx::Data, Field::ArchivedChecksum},
    {"offset", Ctx::Checksum, Field::TocChecksumOffset},
    {"size", Ctx::Checksum, Field::TocChecksumSize},
};

// A direct field of a <file> as given: its element, its value (a name as
// decoded, any other field as written) and the attribute that qualifies it.
struct GivenField {
  std::string_view element;
  std::string value;
  std::optional<std::string> attribute;
};

// A <file> element being read: the future entry and what was given for it.
struct FileRecord {
  TocEntry entry;
  std::vector<GivenField> given;
  std::optional<std::string> type;
  std::optional<std::string> type_link;  // the link attribute of <type>: "original" or an id
  std::optional<std::string> link;
  bool has_data = false;
  bool has_offset = false, has_length = false, has_size = false, has_encoding = false;
  FileData data;
};

struct Capture {
  Field field;
  std::string_view element;  // static: the name from the table above
  size_t depth;
  std::string text;
  // The attribute that qualifies the text: a name's enctype, a type's link,
  // a checksum's style.
  std::optional<std::string> attribute;
};

// Which attribute qualifies a field's text, if any.
const char* qualifier_of(Field field) {
  switch (field) {
    case Field::Name: return "enctype";
    case Field::Type: return "link";
    case Field::ExtractedChecksum:
    case Field::ArchivedChecksum: return "style";
    default: return nullptr;
  }
}

struct Pending {
  size_t index;
  uint64_t target_id;
};

std::string_view view(const xmlChar* s) { return xml_view(s); }

class TocParser {
 public:
  explicit TocParser(xmlTextReader* reader, const std::string& first_error)
      : r_(reader), first_error_(first_error) {}

  std::expected<Toc, XarError> run();

 private:
  using Result = std::expected<void, XarError>;

  static XarError fail(std::string text) { return XarError::xml_parse(std::move(text)); }
  XarError parser_error() const {
    return fail("XML error: " + (first_error_.empty() ? std::string("malformed document") : first_error_));
  }

  Ctx top() const { return stack_.back(); }
  bool at_root() const { return stack_.empty(); }
  bool inside(Ctx c) const { return !stack_.empty() && stack_.back() == c; }
  FileRecord& current() { return files_.back(); }

  std::expected<std::optional<std::string>, XarError> attribute(const char* name);
  Result push(Ctx c);
  Result start(std::string_view name, bool empty);
  Result end();
  Result begin_capture(Field field, std::string_view element, bool empty);
  Result apply(Capture capture);
  Result apply_file_field(FileRecord& f, Capture& c);
  std::expected<std::string, XarError> decode_name(const Capture& c);
  Result encoding();
  Result complete_file();
  Result resolve_hard_links();
  std::expected<Toc, XarError> finish();

  xmlTextReader* r_;
  const std::string& first_error_;
  std::vector<Ctx> stack_;
  std::vector<FileRecord> files_;
  std::optional<Capture> capture_;
  bool xar_seen_ = false, toc_seen_ = false;
  bool checksum_seen_ = false;
  Toc toc_;
  std::vector<Pending> pending_links_;
};

std::expected<std::optional<std::string>, XarError> TocParser::attribute(const char* name) {
  return xml_attribute(r_, name);
}

TocParser::Result TocParser::push(Ctx c) {
  if (stack_.size() >= kMaxTocDepth)
    return std::unexpected(fail(fmt::format("TOC XML nests deeper than {} elements", kMaxTocDepth)));
  stack_.push_back(c);
  return {};
}

TocParser::Result TocParser::begin_capture(Field field, std::string_view element, bool empty) {
  Capture c{field, element, stack_.size(), {}, std::nullopt};
  if (const char* qualifier = qualifier_of(field)) {
    auto value = attribute(qualifier);
    if (!value) return std::unexpected(value.error());
    c.attribute = *value;
  }
  if (empty) return apply(std::move(c));
  capture_ = std::move(c);
  return push(Ctx::Ignored);
}

TocParser::Result TocParser::start(std::string_view name, bool empty) {
  if (capture_) return std::unexpected(fail("nested element inside scalar file metadata"));
  if (name == "xar" || name == "toc") {
    bool ok = name == "xar" ? at_root() && !xar_seen_ : inside(Ctx::Xar) && !toc_seen_;
    if (!ok) return std::unexpected(fail("duplicate or misplaced XAR document element"));
    (name == "xar" ? xar_seen_ : toc_seen_) = true;
    return empty ? Result{} : push(name == "xar" ? Ctx::Xar : Ctx::Toc);
  }
  if (at_root()) return std::unexpected(fail("the TOC document root must be <xar>"));
  if (name == "file" && (inside(Ctx::Toc) || inside(Ctx::File))) {
    if (empty) return std::unexpected(fail("empty <file> is missing required metadata"));
    auto id = attribute("id");
    if (!id) return std::unexpected(id.error());
    FileRecord record;
    if (*id) {
      auto value = parse_u64(**id);
      if (!value) return std::unexpected(fail(fmt::format("invalid <file id> value {}: {}", quoted_form(**id), value.error())));
      record.entry.id = *value;
    }
    files_.push_back(std::move(record));
    return push(Ctx::File);
  }
  if (name == "data" && inside(Ctx::File)) {
    if (empty) return std::unexpected(fail("file <data> is missing <offset>, <length>, and <size>"));
    if (current().has_data) return std::unexpected(fail("duplicate direct <data> block in <file>"));
    current().has_data = true;
    return push(Ctx::Data);
  }
  if (name == "encoding" && inside(Ctx::Data)) {
    if (auto r = encoding(); !r) return r;
    return empty ? Result{} : push(Ctx::Ignored);
  }
  if (inside(Ctx::Toc) && name == "checksum" && !checksum_seen_) {
    checksum_seen_ = true;
    auto style = attribute("style");
    if (!style) return std::unexpected(style.error());
    toc_.checksum = TocChecksum{style->value_or(""), 0, 0};
    return empty ? Result{} : push(Ctx::Checksum);
  }
  if (inside(Ctx::Toc) && (name == "signature" || name == "x-signature")) {
    auto style = attribute("style");
    if (!style) return std::unexpected(style.error());
    toc_.signatures.push_back({std::string(name), style->value_or(""), {}});
    return empty ? Result{} : push(Ctx::Signature);
  }
  if (inside(Ctx::Signature)) {
    if (name == "X509Certificate") return begin_capture(Field::Certificate, "X509Certificate", empty);
    return empty ? Result{} : push(Ctx::Signature);
  }
  for (const auto& s : kScalars) {
    if (s.element == name && inside(s.inside)) return begin_capture(s.field, s.element, empty);
  }
  return empty ? Result{} : push(Ctx::Ignored);
}

TocParser::Result TocParser::encoding() {
  auto style = attribute("style");
  if (!style) return std::unexpected(style.error());
  if (!*style) return std::unexpected(fail("file data <encoding> is missing its style attribute"));
  FileRecord& f = current();
  if (f.has_encoding) {
    if (f.data.encoding == **style) return {};
    return std::unexpected(fail("duplicate direct <encoding> field in file <data>"));
  }
  f.has_encoding = true;
  f.data.encoding = **style;
  return {};
}

TocParser::Result TocParser::end() {
  if (capture_ && capture_->depth + 1 == stack_.size()) {
    Capture c = std::move(*capture_);
    capture_.reset();
    stack_.pop_back();
    return apply(std::move(c));
  }
  Ctx popped = top();
  stack_.pop_back();
  if (popped == Ctx::File) return complete_file();
  return {};
}

TocParser::Result TocParser::apply(Capture c) {
  switch (c.field) {
    case Field::TocChecksumOffset:
    case Field::TocChecksumSize: {
      auto value = parse_u64(c.text);
      if (!value)
        return std::unexpected(fail(fmt::format("invalid <checksum> <{}> value {}: {}", c.element,
                                                quoted_form(c.text), value.error())));
      (c.field == Field::TocChecksumOffset ? toc_.checksum->offset : toc_.checksum->size) = *value;
      return {};
    }
    case Field::Certificate: {
      std::string compact;
      for (char ch : c.text)
        if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r' && ch != '\f') compact += ch;
      // A certificate that does not decode is left out: signatures are
      // reported, not verified.
      if (auto der = base64_decode(compact)) toc_.signatures.back().certificates.push_back(std::move(*der));
      return {};
    }
    default: return apply_file_field(current(), c);
  }
}

// A name as its enctype says: the text itself, or the UTF-8 that its base64
// stands for. Base64 must be canonical: whole groups of four, "=" padding,
// no stray bits; "YWJjA" is refused, not decoded in part.
std::expected<std::string, XarError> TocParser::decode_name(const Capture& c) {
  if (!c.attribute) return c.text;
  if (*c.attribute != "base64")
    return std::unexpected(fail(fmt::format("unsupported <name> enctype {}", quoted_form(*c.attribute))));
  std::string compact;
  for (char ch : c.text)
    if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r' && ch != '\f') compact += ch;
  auto bytes = base64_decode(compact);
  if (!bytes)
    return std::unexpected(
        fail(fmt::format("invalid base64 <name> value {}: {}", quoted_form(c.text), "not canonical base64")));
  std::string name(bytes->begin(), bytes->end());
  if (auto bad = utf8_error(name))
    return std::unexpected(fail("<name enctype=\"base64\"> decoded to invalid UTF-8: " + *bad));
  return name;
}

TocParser::Result TocParser::apply_file_field(FileRecord& f, Capture& c) {
  TocEntry& e = f.entry;
  switch (c.field) {
    case Field::Mode: if (!e.mode) e.mode = parse_mode(c.text); return {};
    case Field::Uid: if (!e.uid) e.uid = parse_id(c.text); return {};
    case Field::Gid: if (!e.gid) e.gid = parse_id(c.text); return {};
    case Field::Mtime: if (!e.mtime) e.mtime = parse_time(c.text); return {};
    default: break;
  }
  std::string value = c.text;
  if (c.field == Field::Name) {
    auto name = decode_name(c);
    if (!name) return std::unexpected(name.error());
    value = std::move(*name);
  }
  // A field given twice with the same value (current pkgbuild writes
  // <name>Bom</name><name>Bom</name>) is the same field; a different value,
  // or the same text qualified differently, is a contradiction. Names are
  // compared as decoded.
  auto it = std::find_if(f.given.begin(), f.given.end(), [&](const auto& g) { return g.element == c.element; });
  if (it != f.given.end()) {
    if (it->value == value && (c.field == Field::Name || it->attribute == c.attribute)) return {};
    return std::unexpected(fail(fmt::format("duplicate direct <{}> field in <file>", c.element)));
  }
  f.given.push_back({c.element, value, c.attribute});
  switch (c.field) {
    case Field::Name: e.name = std::move(value); return {};
    case Field::Type:
      f.type = std::string(trim_space(c.text));
      f.type_link = c.attribute;
      return {};
    case Field::Link: f.link = std::move(c.text); return {};
    case Field::Offset:
    case Field::Length:
    case Field::Size: {
      auto number = parse_u64(c.text);
      if (!number)
        return std::unexpected(
            fail(fmt::format("invalid <{}> value {}: {}", c.element, quoted_form(c.text), number.error())));
      if (c.field == Field::Offset) f.data.offset = *number, f.has_offset = true;
      if (c.field == Field::Length) f.data.length = *number, f.has_length = true;
      if (c.field == Field::Size) f.data.size = *number, f.has_size = true;
      return {};
    }
    case Field::ExtractedChecksum:
    case Field::ArchivedChecksum: {
      Checksum sum{c.attribute.value_or(""), std::string(trim_space(c.text))};
      (c.field == Field::ExtractedChecksum ? f.data.extracted_checksum : f.data.archived_checksum) = std::move(sum);
      return {};
    }
    default: return {};
  }
}

// The kind a <type> text names; a hard link is a file that shares its
// content with another entry.
struct TypeName {
  std::string_view text;
  EntryKind kind;
  bool hardlink;
};
constexpr TypeName kTypes[] = {
    {"file", EntryKind::File, false},
    {"directory", EntryKind::Directory, false},
    {"symlink", EntryKind::Symlink, false},
    {"hardlink", EntryKind::File, true},
};

TocParser::Result TocParser::complete_file() {
  FileRecord f = std::move(files_.back());
  files_.pop_back();
  TocEntry& e = f.entry;
  if (e.name.empty()) return std::unexpected(fail("file is missing a non-empty direct <name>"));
  if (!f.type) return std::unexpected(fail("file is missing a direct <type>"));
  const TypeName* type = nullptr;
  for (const auto& t : kTypes)
    if (t.text == *f.type) type = &t;
  if (type == nullptr)
    return std::unexpected(fail(fmt::format("unsupported file <type> value {}", quoted_form(*f.type))));
  e.kind = type->kind;
  if (e.kind == EntryKind::Symlink) {
    if (!f.link || f.link->empty()) return std::unexpected(fail("symlink is missing a non-empty direct <link>"));
    e.link = std::move(f.link);
  }
  if (f.has_data) {
    if (!f.has_offset) return std::unexpected(fail("file <data> is missing <offset>"));
    if (!f.has_length) return std::unexpected(fail("file <data> is missing <length>"));
    if (!f.has_size) return std::unexpected(fail("file <data> is missing <size>"));
    if (!f.has_encoding) f.data.encoding = kOctetStream;
    e.data = std::move(f.data);
  }
  size_t index = toc_.entries.size();
  // <type link="original"> marks the entry that holds the content; any other
  // value is the id of that entry, which may come later in the document.
  if (type->hardlink && f.type_link && *f.type_link != "original") {
    auto target = parse_u64(*f.type_link);
    if (!target)
      return std::unexpected(fail(fmt::format("invalid hard link target {}: {}", quoted_form(*f.type_link),
                                              target.error())));
    pending_links_.push_back({index, *target});
  }
  for (size_t child : e.children) toc_.entries[child].parent = index;
  toc_.entries.push_back(std::move(e));
  if (!files_.empty()) files_.back().entry.children.push_back(index);
  return {};
}

// A hard link names by id the entry whose content it shares, and that entry
// may itself be a link. Every chain is followed to the entry that holds the
// content, each entry visited once over all chains; a chain that comes back
// to an entry already on it has no content anywhere and is refused.
TocParser::Result TocParser::resolve_hard_links() {
  auto& entries = toc_.entries;
  std::map<uint64_t, size_t> by_id;
  for (size_t i = 0; i < entries.size(); ++i) by_id.emplace(entries[i].id, i);
  std::vector<std::optional<uint64_t>> names_id(entries.size());
  for (const auto& p : pending_links_) names_id[p.index] = p.target_id;

  enum class Walk : uint8_t { Unseen, OnChain, Resolved };
  std::vector<Walk> walk(entries.size(), Walk::Unseen);
  std::vector<size_t> holder(entries.size());
  for (size_t i = 0; i < entries.size(); ++i)
    if (!names_id[i]) walk[i] = Walk::Resolved, holder[i] = i;
  std::vector<size_t> chain;
  for (const auto& p : pending_links_) {
    chain.clear();
    size_t at = p.index;
    while (walk[at] == Walk::Unseen) {
      walk[at] = Walk::OnChain;
      chain.push_back(at);
      auto it = by_id.find(*names_id[at]);
      if (it == by_id.end())
        return std::unexpected(fail(fmt::format("hard link {} names file id {}, which the TOC does not hold",
                                                quoted_form(entries[at].path), *names_id[at])));
      at = it->second;
    }
    if (walk[at] == Walk::OnChain)
      return std::unexpected(fail(fmt::format("hard link {} is part of a cycle of hard links",
                                              quoted_form(entries[p.index].path))));
    for (size_t link : chain) walk[link] = Walk::Resolved, holder[link] = holder[at];
  }
  for (const auto& p : pending_links_) {
    TocEntry& link = entries[p.index];
    const TocEntry& target = entries[holder[p.index]];
    if (target.kind != EntryKind::File)
      return std::unexpected(fail(fmt::format("hard link {} must name a file that holds its own content",
                                              quoted_form(link.path))));
    link.hardlink_target = holder[p.index];
    if (!link.data) link.data = target.data;
  }
  return {};
}

std::expected<Toc, XarError> TocParser::finish() {
  if (!stack_.empty() || !files_.empty()) return std::unexpected(fail("unexpected end of TOC XML"));
  if (!xar_seen_ || !toc_seen_) return std::unexpected(fail("TOC XML must contain one <xar>/<toc> document"));
  auto& entries = toc_.entries;
  // Post-order puts every parent after its children, so walking backwards
  // meets each parent's path before its children need it.
  for (size_t i = entries.size(); i-- > 0;) {
    TocEntry& e = entries[i];
    e.path = e.parent ? entries[*e.parent].path + "/" + e.name : e.name;
  }
  if (auto r = resolve_hard_links(); !r) return std::unexpected(r.error());
  return std::move(toc_);
}

std::expected<Toc, XarError> TocParser::run() {
  for (;;) {
    int rc = xmlTextReaderRead(r_);
    if (rc < 0) return std::unexpected(parser_error());
    if (rc == 0) break;
    int type = xmlTextReaderNodeType(r_);
    switch (type) {
      case XML_READER_TYPE_ELEMENT: {
        std::string_view name = view(xmlTextReaderConstName(r_));
        if (auto res = start(name, xmlTextReaderIsEmptyElement(r_) == 1); !res) return std::unexpected(res.error());
        break;
      }
      case XML_READER_TYPE_END_ELEMENT:
        if (stack_.empty()) return std::unexpected(parser_error());
        if (auto res = end(); !res) return std::unexpected(res.error());
        break;
      case XML_READER_TYPE_TEXT:
      case XML_READER_TYPE_CDATA:
      case XML_READER_TYPE_WHITESPACE:
      case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
        if (capture_) capture_->text += view(xmlTextReaderConstValue(r_));
        break;
      case XML_READER_TYPE_ENTITY_REFERENCE:
        return std::unexpected(fail(fmt::format("XML error: entity reference &{}; is not allowed in a TOC",
                                                view(xmlTextReaderConstName(r_)))));
      default: break;  // declaration, comments, processing instructions, DOCTYPE
    }
  }
  if (!first_error_.empty()) return std::unexpected(parser_error());
  return finish();
}

}  // namespace

std::expected<Toc, XarError> parse_toc_xml(std::span<const uint8_t> text) {
  SafeXmlReader xml = make_safe_reader(text);
  if (xml.declares_entities)
    return std::unexpected(XarError::xml_parse("XML error: the TOC declares entities of its own, which are not allowed"));
  if (!xml.reader) return std::unexpected(XarError::xml_parse("XML error: cannot read a document of this size"));
  return TocParser(xml.reader.get(), *xml.first_error).run();
}

}  // namespace tev::xar
