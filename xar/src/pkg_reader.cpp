#include "tev/xar/pkg_reader.h"

#include "pkg_documents.h"
#include "tev/common/text.h"

namespace tev::xar {
namespace {

// "PackageInfo" for the top-level component, "core.pkg/PackageInfo" otherwise.
std::string member_path(std::string_view component, std::string_view document) {
  if (component.empty()) return std::string(document);
  return std::string(component) + "/" + std::string(document);
}

std::string as_text(const Buffer& bytes) {
  return utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

std::expected<PkgReader, XarError> PkgReader::open(ByteSource source) {
  auto xar = XarReader::open(std::move(source));
  if (!xar) return std::unexpected(xar.error());
  return PkgReader(std::move(*xar));
}

bool PkgReader::is_product_package() const { return xar_.find_entry("Distribution") != nullptr; }

std::vector<std::string> PkgReader::component_names() const {
  std::vector<std::string> names;
  for (const auto& e : xar_.entries()) {
    if (!e.parent && e.kind == EntryKind::Directory && e.name.size() >= 4 && e.name.ends_with(".pkg"))
      names.push_back(e.name);
  }
  if (names.empty() && (xar_.find_entry("Payload") || xar_.find_entry("PackageInfo"))) names.emplace_back();
  return names;
}

std::vector<std::string> PkgReader::list_files() const {
  std::vector<std::string> paths;
  paths.reserve(xar_.entries().size());
  for (const auto& e : xar_.entries()) paths.push_back(e.path);
  return paths;
}

std::expected<std::optional<std::string>, XarError> PkgReader::distribution() const {
  const TocEntry* e = xar_.find_entry("Distribution");
  if (e == nullptr) return std::nullopt;
  auto bytes = xar_.read_entry_bytes(*e);
  if (!bytes) return std::unexpected(bytes.error());
  return as_text(*bytes);
}

std::expected<std::optional<std::string>, XarError> PkgReader::package_info(std::string_view component) const {
  const TocEntry* e = xar_.find_entry(member_path(component, "PackageInfo"));
  if (e == nullptr) return std::nullopt;
  auto bytes = xar_.read_entry_bytes(*e);
  if (!bytes) return std::unexpected(bytes.error());
  return as_text(*bytes);
}

std::expected<std::optional<DistributionInfo>, XarError> PkgReader::distribution_info() const {
  auto text = distribution();
  if (!text) return std::unexpected(text.error());
  if (!*text) return std::nullopt;
  auto info = parse_distribution(**text);
  if (!info) return std::unexpected(info.error());
  return std::move(*info);
}

std::expected<std::optional<ComponentInfo>, XarError> PkgReader::component_info(std::string_view component) const {
  auto text = package_info(component);
  if (!text) return std::unexpected(text.error());
  if (!*text) return std::nullopt;
  auto info = parse_package_info(**text);
  if (!info) return std::unexpected(info.error());
  info->component = std::string(component);
  return std::move(*info);
}

std::expected<Buffer, XarError> PkgReader::read_payload(std::string_view component) const {
  std::string path = member_path(component, "Payload");
  const TocEntry* e = xar_.find_entry(path);
  if (e == nullptr) return std::unexpected(XarError::file_not_found(path));
  return xar_.read_entry_bytes(*e);
}

std::expected<PayloadBytes, XarError> PkgReader::member_archive(std::string_view component,
                                                                std::string_view member) const {
  std::string path = member_path(component, member);
  const TocEntry* e = xar_.find_entry(path);
  if (e == nullptr) return std::unexpected(XarError::file_not_found(path));
  auto bytes = xar_.read_entry_bytes(*e);
  if (!bytes) return std::unexpected(bytes.error());
  return classify_payload(std::move(*bytes), path);
}

std::expected<PayloadBytes, XarError> PkgReader::payload_archive(std::string_view component) const {
  return member_archive(component, "Payload");
}

std::expected<PayloadBytes, XarError> PkgReader::scripts_archive(std::string_view component) const {
  return member_archive(component, "Scripts");
}

}  // namespace tev::xar
