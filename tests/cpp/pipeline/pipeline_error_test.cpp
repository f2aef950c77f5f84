#include "tev/pipeline/pipeline_error.h"

#include <gtest/gtest.h>

namespace tev::pipeline {
namespace {

TEST(PipelineError, FormatsEveryKindItCarries) {
  const std::tuple<PipelineError, PipelineErrorKind, const char*> cases[] = {
      {IoError::unexpected_eof(), PipelineErrorKind::Io, "I/O error: failed to fill whole buffer"},
      {IoError::from_errno(ENOENT), PipelineErrorKind::Io, "I/O error: No such file or directory"},
      {PipelineError::file_not_found("/a/b"), PipelineErrorKind::FileNotFound,
       "file not found: /a/b"},
      {PipelineError::no_hfs_partition(), PipelineErrorKind::NoHfsPartition,
       "no HFS+ partition found in DMG"},
      {PipelineError::no_apfs_partition(), PipelineErrorKind::NoApfsPartition,
       "no APFS partition found in DMG"},
      {PipelineError::no_filesystem_partition(), PipelineErrorKind::NoFilesystemPartition,
       "no filesystem partition found in DMG"},
      {PipelineError::invalid_path("path traversal detected: ../x"), PipelineErrorKind::InvalidPath,
       "invalid path: path traversal detected: ../x"},
      {PipelineError::no_entries_under("Library/Foo"), PipelineErrorKind::NoEntriesUnder,
       "no entries found under: Library/Foo"},
      {xar::XarError::file_not_found("Payload"), PipelineErrorKind::Xar, "XAR error: file not found: Payload"},
  };
  for (const auto& [error, kind, message] : cases) {
    EXPECT_EQ(error.kind(), kind);
    EXPECT_EQ(error.message(), message);
  }
}

TEST(PipelineError, KeepsTheWrappedError) {
  PipelineError e = IoError::from_errno(EACCES);
  ASSERT_NE(e.wrapped<IoError>(), nullptr);
  EXPECT_EQ(e.wrapped<IoError>()->code(), EACCES);
  EXPECT_EQ(e.text(), nullptr);
}

}  // namespace
}  // namespace tev::pipeline
