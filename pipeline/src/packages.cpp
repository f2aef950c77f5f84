// Installer packages inside a disk image's file system.
#include "tev/pipeline/packages.h"

#include <cctype>

#include "tev/common/temp_file.h"
#include "tev/pipeline/dmg_pipeline.h"
#include "tev/pipeline/payload.h"

namespace tev::pipeline {
namespace {

bool ends_with_folded(std::string_view name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  name = name.substr(name.size() - suffix.size());
  for (size_t i = 0; i < suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(name[i])) != suffix[i]) return false;
  return true;
}

std::expected<ByteSource, PipelineError> copy_to_temp_file(const OpenedFilesystem& fs, std::string_view path) {
  auto plan = fs.plan_file(path);
  if (!plan) return std::unexpected(plan.error());
  auto file = TempFile::create();
  if (!file) return std::unexpected(PipelineError(file.error()));
  auto sink = file->writer();
  if (!sink) return std::unexpected(PipelineError(sink.error()));
  if (auto r = fs.read_planned(*plan, *sink); !r) return std::unexpected(r.error());
  if (auto r = sink->finish(); !r) return std::unexpected(PipelineError(r.error()));
  auto source = ByteSource::from_temp_file(std::move(*file));
  if (!source) return std::unexpected(PipelineError(source.error()));
  return std::move(*source);
}

std::expected<OpenedFilesystem, PipelineError> open_image_filesystem(const std::string& dmg_path) {
  auto image = open_pipeline(dmg_path);
  if (!image) return std::unexpected(image.error());
  return open_filesystem(*image);
}

}  // namespace

bool is_package_name(std::string_view name) { return ends_with_folded(name, ".pkg") || ends_with_folded(name, ".mpkg"); }

std::expected<xar::PkgReader, PipelineError> open_pkg(const OpenedFilesystem& fs, std::string_view pkg_path,
                                                      bool streaming) {
  std::expected<ByteSource, PipelineError> source = std::unexpected(PipelineError(IoError::other("")));
  if (streaming) {
    source = copy_to_temp_file(fs, pkg_path);
  } else if (auto bytes = fs.read_file(pkg_path)) {
    source = ByteSource::from_bytes(std::vector<uint8_t>(bytes->begin(), bytes->end()));
  } else {
    source = std::unexpected(bytes.error());
  }
  if (!source) return std::unexpected(source.error());
  auto pkg = xar::PkgReader::open(std::move(*source));
  if (!pkg) return std::unexpected(PipelineError(pkg.error()));
  return std::move(*pkg);
}

std::expected<std::vector<std::string>, PipelineError> find_packages(const std::string& dmg_path) {
  auto fs = open_image_filesystem(dmg_path);
  if (!fs) return std::unexpected(fs.error());
  auto entries = fs->walk();
  if (!entries) return std::unexpected(entries.error());
  std::vector<std::string> out;
  for (auto& e : *entries)
    if (e.kind == fs::EntryKind::File && is_package_name(e.name)) out.push_back(std::move(e.path));
  return out;
}

std::expected<Buffer, PipelineError> extract_pkg_payload(const std::string& dmg_path, std::string_view pkg_path,
                                                         std::string_view component) {
  auto fs = open_image_filesystem(dmg_path);
  if (!fs) return std::unexpected(fs.error());
  auto pkg = open_pkg(*fs, pkg_path, false);
  if (!pkg) return std::unexpected(pkg.error());
  return payload_cpio(*pkg, component);
}

}  // namespace tev::pipeline
