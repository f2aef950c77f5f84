#pragma once

#include <string>
#include <variant>

#include "tev/apfs/apfs_error.h"
#include "tev/common/io_error.h"
#include "tev/hfsplus/hfs_error.h"
#include "tev/pbzx/pbzx_error.h"
#include "tev/udif/dmg_error.h"
#include "tev/xar/xar_error.h"

namespace tev::pipeline {

// The one error every pipeline operation reports. Six kinds wrap another
// library's error and print it after a fixed prefix; the rest carry a text or
// nothing. The numbering is the order of the kinds.
enum class PipelineErrorKind {
  Io = 0,
  Dmg = 1,
  HfsPlus = 2,
  Xar = 3,
  Pbzx = 4,
  Apfs = 5,
  FileNotFound = 6,
  NoHfsPartition = 7,
  NoApfsPartition = 8,
  NoFilesystemPartition = 9,
  InvalidPath = 10,
  NoEntriesUnder = 11,
};

class PipelineError {
 public:
  // Every library error converts implicitly, so `return std::unexpected(e)`
  // works where a PipelineError is expected.
  PipelineError(IoError error);         // NOLINT(google-explicit-constructor)
  PipelineError(udif::DmgError error);  // NOLINT(google-explicit-constructor)
  PipelineError(hfsplus::HfsError error);  // NOLINT(google-explicit-constructor)
  PipelineError(pbzx::PbzxError error);  // NOLINT(google-explicit-constructor)
  PipelineError(apfs::ApfsError error);  // NOLINT(google-explicit-constructor)
  PipelineError(xar::XarError error);  // NOLINT(google-explicit-constructor)

  static PipelineError file_not_found(std::string path);
  static PipelineError no_hfs_partition();
  static PipelineError no_apfs_partition();
  static PipelineError no_filesystem_partition();
  // The same, saying what the image holds instead.
  static PipelineError no_filesystem_partition(std::string found);
  static PipelineError invalid_path(std::string detail);
  static PipelineError no_entries_under(std::string base_path);

  PipelineErrorKind kind() const { return kind_; }
  // The full message, including the prefix of a wrapping kind.
  std::string message() const;

  // The wrapped library error, or nullptr when the kind wraps another one.
  template <class E>
  const E* wrapped() const {
    return std::get_if<E>(&payload_);
  }
  // The text of FileNotFound, InvalidPath and NoEntriesUnder.
  const std::string* text() const { return std::get_if<std::string>(&payload_); }

 private:
  using Payload = std::variant<std::monostate, std::string, IoError, udif::DmgError, hfsplus::HfsError, pbzx::PbzxError, apfs::ApfsError, xar::XarError>;
  PipelineError(PipelineErrorKind kind, Payload payload)
      : kind_(kind), payload_(std::move(payload)) {}

  PipelineErrorKind kind_;
  Payload payload_;
};

}  // namespace tev::pipeline
