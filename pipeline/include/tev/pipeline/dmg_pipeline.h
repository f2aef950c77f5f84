#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "tev/pipeline/opened_filesystem.h"
#include "tev/pipeline/pipeline_error.h"
#include "tev/common/progress.h"
#include "tev/udif/image.h"

namespace tev::pipeline {

// Where a partition's decoded bytes go for the file system to read them.
enum class ExtractionMode { TempFile, InMemory };

// What a partition's first bytes say it holds.
enum class FsSignature { HfsPlus, Hfsx, Apfs };

// "hfsplus", "hfsx", "apfs".
const char* fs_signature_text(FsSignature signature);

// The file system whose signature opens the bytes (at least the first
// 2 KiB of a partition), if any.
std::optional<FsSignature> detect_filesystem(std::span<const uint8_t> head);

// The same for a partition of an image, decoding only its first runs;
// nothing for a partition whose head cannot be decoded.
std::optional<FsSignature> partition_filesystem(const udif::DmgImage& image, int32_t id);

// Opens the image (trailer, checksums, block tables); every failure is Dmg.
std::expected<udif::DmgImage, PipelineError> open_pipeline(const std::string& path);

struct FilesystemRequest {
  ExtractionMode mode = ExtractionMode::TempFile;
  std::optional<int32_t> partition;      // the automatic choice when absent
  const ProgressFn* progress = nullptr;  // told of the partition bytes decoded
};

// Chooses the file-system partition (the largest HFS+/HFSX one by name, else
// the largest APFS one, else the largest whose signature tells either),
// decodes it into a temporary file or memory and opens its reader.
std::expected<OpenedFilesystem, PipelineError> open_filesystem(const udif::DmgImage& image,
                                                               const FilesystemRequest& request = {});

}  // namespace tev::pipeline
