#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "tev/common/extract_stats.h"
#include "tev/common/tree_extractor.h"
#include "tev/pipeline/opened_filesystem.h"
#include "tev/pipeline/pipeline_error.h"

namespace tev::pipeline {

// Writes the entries at and below `base_path` into `dest`, the base prefix
// stripped ("/" extracts everything). The base is spelt as the volume
// resolves it; a base naming a file writes that file under its own name.
// The volume's hidden bookkeeping at its root is left out unless named.
std::expected<ExtractStats, PipelineError> extract_tree(const OpenedFilesystem& fs, std::string_view base_path,
                                                        const std::string& dest, const ExtractOptions& options = {});

}  // namespace tev::pipeline
