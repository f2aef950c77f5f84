#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "tev/common/extract_stats.h"
#include "tev/pipeline/opened_filesystem.h"
#include "tev/pipeline/pipeline_error.h"
#include "tev/pipeline/progress.h"

namespace tev::pipeline {

enum class SymlinkPolicy { Skip, Create };

// What extraction carries over besides the file contents. By default
// nothing: no permissions, no times, no links.
struct ExtractOptions {
  bool modes = false;  // permission bits (never setuid, setgid or sticky)
  bool times = false;  // modification times
  SymlinkPolicy symlinks = SymlinkPolicy::Skip;
  const ProgressFn* progress = nullptr;  // told of the file bytes written
};

// Writes the entries at and below `base_path` into `dest`, the base prefix
// stripped ("/" extracts everything). The base is spelt as the volume
// resolves it; a base naming a file writes that file under its own name.
// The volume's hidden bookkeeping at its root is left out unless named.
std::expected<ExtractStats, PipelineError> extract_tree(const OpenedFilesystem& fs, std::string_view base_path,
                                                        const std::string& dest, const ExtractOptions& options = {});

}  // namespace tev::pipeline
