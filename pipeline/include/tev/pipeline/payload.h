#pragma once

#include <expected>
#include <string_view>

#include "tev/common/buffer.h"
#include "tev/pipeline/pipeline_error.h"
#include "tev/xar/pkg_reader.h"

namespace tev::pipeline {

// A component's Payload or Scripts member as CPIO bytes, whatever its form
// (PBZX, gzip-compressed CPIO or plain CPIO), for the payload Archive.
std::expected<Buffer, PipelineError> payload_cpio(const xar::PkgReader& pkg, std::string_view component);
std::expected<Buffer, PipelineError> scripts_cpio(const xar::PkgReader& pkg, std::string_view component);

}  // namespace tev::pipeline
