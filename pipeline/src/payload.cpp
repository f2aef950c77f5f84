#include "tev/pipeline/payload.h"

#include "tev/pbzx/pbzx_reader.h"

namespace tev::pipeline {
namespace {

std::expected<Buffer, PipelineError> to_cpio(std::expected<xar::PayloadBytes, xar::XarError> member) {
  if (!member) return std::unexpected(PipelineError(member.error()));
  if (member->format == xar::PayloadFormat::Cpio) return std::move(member->bytes);
  auto cpio = pbzx::read_pbzx(member->bytes);
  if (!cpio) return std::unexpected(PipelineError(cpio.error()));
  return std::move(*cpio);
}

}  // namespace

std::expected<Buffer, PipelineError> payload_cpio(const xar::PkgReader& pkg, std::string_view component) {
  return to_cpio(pkg.payload_archive(component));
}

std::expected<Buffer, PipelineError> scripts_cpio(const xar::PkgReader& pkg, std::string_view component) {
  return to_cpio(pkg.scripts_archive(component));
}

}  // namespace tev::pipeline
