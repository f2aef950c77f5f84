#include "tev/pipeline/pipeline_error.h"

namespace tev::pipeline {

PipelineError::PipelineError(IoError error) : kind_(PipelineErrorKind::Io), payload_(std::move(error)) {}

PipelineError::PipelineError(udif::DmgError error)
    : kind_(PipelineErrorKind::Dmg), payload_(std::move(error)) {}

PipelineError::PipelineError(hfsplus::HfsError error)
    : kind_(PipelineErrorKind::HfsPlus), payload_(std::move(error)) {}

PipelineError::PipelineError(pbzx::PbzxError error)
    : kind_(PipelineErrorKind::Pbzx), payload_(std::move(error)) {}

PipelineError::PipelineError(apfs::ApfsError error)
    : kind_(PipelineErrorKind::Apfs), payload_(std::move(error)) {}

PipelineError::PipelineError(xar::XarError error)
    : kind_(PipelineErrorKind::Xar), payload_(std::move(error)) {}

PipelineError PipelineError::file_not_found(std::string path) {
  return {PipelineErrorKind::FileNotFound, std::move(path)};
}

PipelineError PipelineError::no_hfs_partition() { return {PipelineErrorKind::NoHfsPartition, {}}; }

PipelineError PipelineError::no_apfs_partition() { return {PipelineErrorKind::NoApfsPartition, {}}; }

PipelineError PipelineError::no_filesystem_partition() {
  return {PipelineErrorKind::NoFilesystemPartition, {}};
}

PipelineError PipelineError::no_filesystem_partition(std::string found) {
  return {PipelineErrorKind::NoFilesystemPartition, std::move(found)};
}

PipelineError PipelineError::invalid_path(std::string detail) {
  return {PipelineErrorKind::InvalidPath, std::move(detail)};
}

PipelineError PipelineError::no_entries_under(std::string base_path) {
  return {PipelineErrorKind::NoEntriesUnder, std::move(base_path)};
}

std::string PipelineError::message() const {
  const std::string empty;
  const std::string& text = this->text() ? *this->text() : empty;
  switch (kind_) {
    case PipelineErrorKind::Io: return "I/O error: " + wrapped<IoError>()->message();
    case PipelineErrorKind::Dmg: return "DMG error: " + wrapped<udif::DmgError>()->message();
    case PipelineErrorKind::HfsPlus: return "HFS+ error: " + wrapped<hfsplus::HfsError>()->message();
    case PipelineErrorKind::Pbzx: return "PBZX error: " + wrapped<pbzx::PbzxError>()->message();
    case PipelineErrorKind::Apfs: return "APFS error: " + wrapped<apfs::ApfsError>()->message();
    case PipelineErrorKind::Xar: return "XAR error: " + wrapped<xar::XarError>()->message();
    case PipelineErrorKind::FileNotFound: return "file not found: " + text;
    case PipelineErrorKind::NoHfsPartition: return "no HFS+ partition found in DMG";
    case PipelineErrorKind::NoApfsPartition: return "no APFS partition found in DMG";
    case PipelineErrorKind::NoFilesystemPartition:
      return text.empty() ? "no filesystem partition found in DMG" : "no filesystem partition found in DMG (" + text + ")";
    case PipelineErrorKind::InvalidPath: return "invalid path: " + text;
    case PipelineErrorKind::NoEntriesUnder: return "no entries found under: " + text;
  }
  return "unknown error";
}

}  // namespace tev::pipeline
