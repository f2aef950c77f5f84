#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "tev/common/buffer.h"
#include "tev/pipeline/opened_filesystem.h"
#include "tev/pipeline/pipeline_error.h"
#include "tev/xar/pkg_reader.h"

namespace tev::pipeline {

// Opens a package file of the file system: read whole into memory, or with
// `streaming` copied into an anonymous temporary file and read from there.
std::expected<xar::PkgReader, PipelineError> open_pkg(const OpenedFilesystem& fs, std::string_view pkg_path,
                                                      bool streaming);

// Whether a file name is an installer package's: ".pkg" or ".mpkg", in any case.
bool is_package_name(std::string_view name);

// The package files of the image's file system, in walk order (links and
// directories, bundle packages among them, are not listed).
std::expected<std::vector<std::string>, PipelineError> find_packages(const std::string& dmg_path);

// One component's payload of a package inside an image, as CPIO bytes.
std::expected<Buffer, PipelineError> extract_pkg_payload(const std::string& dmg_path, std::string_view pkg_path,
                                                         std::string_view component);

}  // namespace tev::pipeline
