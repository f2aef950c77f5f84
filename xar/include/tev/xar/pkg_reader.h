#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tev/common/buffer.h"
#include "tev/xar/xar_reader.h"

namespace tev::xar {

// One install script a PackageInfo names: its phase ("preinstall",
// "postinstall", ...) and its file inside the Scripts archive.
struct PkgScript {
  std::string phase;
  std::string file;
};

// What a component's PackageInfo declares.
struct ComponentInfo {
  std::string component;
  std::optional<std::string> identifier;
  std::optional<std::string> version;
  std::optional<std::string> install_location;
  std::optional<std::string> auth;
  std::optional<uint64_t> payload_file_count;
  std::optional<uint64_t> install_kbytes;
  std::vector<PkgScript> scripts;
};

// One package a Distribution refers to, its mentions merged by id.
struct PkgRef {
  std::string id;
  std::optional<std::string> version;
  std::optional<uint64_t> install_kbytes;
  std::optional<std::string> component;  // the component directory it names ("core.pkg")
};

struct DistributionInfo {
  std::optional<std::string> title;
  std::vector<PkgRef> pkg_refs;
};

// A payload or scripts member as an archive reader takes it: a PBZX stream
// still to decode, or CPIO bytes (a gzip layer already removed).
enum class PayloadFormat { Pbzx, Cpio };
struct PayloadBytes {
  PayloadFormat format;
  Buffer bytes;
};

// A flat installer package: a XAR archive holding either a Distribution with
// one "*.pkg" directory per component, or one component at the top level
// (named by the empty string).
class PkgReader {
 public:
  static std::expected<PkgReader, XarError> open(ByteSource source);
  explicit PkgReader(XarReader xar) : xar_(std::move(xar)) {}

  const XarReader& xar() const { return xar_; }
  bool is_product_package() const;
  std::vector<std::string> component_names() const;
  std::vector<std::string> list_files() const;

  // The documents as text (invalid UTF-8 replaced); nullopt when absent.
  std::expected<std::optional<std::string>, XarError> distribution() const;
  std::expected<std::optional<std::string>, XarError> package_info(std::string_view component) const;
  // The parsed documents; nullopt when absent.
  std::expected<std::optional<DistributionInfo>, XarError> distribution_info() const;
  std::expected<std::optional<ComponentInfo>, XarError> component_info(std::string_view component) const;

  // The decoded Payload member; FileNotFound names the member path.
  std::expected<Buffer, XarError> read_payload(std::string_view component) const;
  // The Payload or Scripts member, its format told by its first bytes.
  std::expected<PayloadBytes, XarError> payload_archive(std::string_view component) const;
  std::expected<PayloadBytes, XarError> scripts_archive(std::string_view component) const;

 private:
  std::expected<PayloadBytes, XarError> member_archive(std::string_view component, std::string_view member) const;

  XarReader xar_;
};

}  // namespace tev::xar
