#include "tev/pipeline/opened_filesystem.h"

#include <array>
#include <type_traits>

namespace tev::pipeline {
namespace {

// Runs f on whichever reader there is and wraps its error.
template <class F>
auto on_reader(const OpenedFilesystem::Reader& reader, F&& f) {
  using Result = decltype(f(std::get<0>(reader)));
  using T = typename Result::value_type;
  return std::visit(
      [&](const auto& r) -> std::expected<T, PipelineError> {
        auto result = f(r);
        if (!result) return std::unexpected(PipelineError(result.error()));
        if constexpr (std::is_void_v<T>) {
          return {};
        } else {
          return std::move(*result);
        }
      },
      reader);
}

// Names as the HFS+ catalog spells them: the file hard-link folder's name
// begins with four NULs, the directory one ends in a carriage return.
constexpr std::array<std::string_view, 4> kHfsHiddenNames = {
    std::string_view("\0\0\0\0HFS+ Private Data", 21),
    ".HFS+ Private Directory Data\r",
    ".journal",
    ".journal_info_block",
};

}  // namespace

fs::FsType OpenedFilesystem::fs_type() const {
  return std::holds_alternative<hfsplus::HfsReader>(reader_) ? fs::FsType::HfsPlus : fs::FsType::Apfs;
}

std::expected<std::vector<fs::DirEntry>, PipelineError> OpenedFilesystem::list_directory(std::string_view path) const {
  if (const auto* hfs = std::get_if<hfsplus::HfsReader>(&reader_)) {
    auto entries = hfs->list_directory(path);
    if (!entries) return std::unexpected(PipelineError(entries.error()));
    return std::move(*entries);
  }
  auto entries = std::get<apfs::ApfsReader>(reader_).list_directory(path);
  if (!entries) return std::unexpected(PipelineError(entries.error()));
  std::vector<fs::DirEntry> out;
  out.reserve(entries->size());
  for (auto& e : *entries) out.push_back({std::move(e.name), e.kind, e.size});
  return out;
}

std::expected<FilePlan, PipelineError> OpenedFilesystem::plan_file(std::string_view path) const {
  return on_reader(reader_, [&](const auto& r) -> std::expected<FilePlan, std::remove_cvref_t<decltype(r.plan_file(path).error())>> {
    auto plan = r.plan_file(path);
    if (!plan) return std::unexpected(plan.error());
    uint64_t length = plan->length;
    return FilePlan{std::move(*plan), length};
  });
}

std::expected<void, PipelineError> OpenedFilesystem::read_planned(const FilePlan& plan, std::span<uint8_t> out) const {
  if (const auto* hfs = std::get_if<hfsplus::HfsReader>(&reader_)) {
    auto r = hfs->read_planned(std::get<hfsplus::FileReadPlan>(plan.plan), out);
    if (!r) return std::unexpected(PipelineError(r.error()));
    return {};
  }
  auto r = std::get<apfs::ApfsReader>(reader_).read_planned(std::get<apfs::FileReadPlan>(plan.plan), out);
  if (!r) return std::unexpected(PipelineError(r.error()));
  return {};
}

std::expected<uint64_t, PipelineError> OpenedFilesystem::read_planned(const FilePlan& plan, ByteSink& sink) const {
  if (const auto* hfs = std::get_if<hfsplus::HfsReader>(&reader_)) {
    auto r = hfs->read_planned(std::get<hfsplus::FileReadPlan>(plan.plan), sink);
    if (!r) return std::unexpected(PipelineError(r.error()));
    return *r;
  }
  auto r = std::get<apfs::ApfsReader>(reader_).read_planned(std::get<apfs::FileReadPlan>(plan.plan), sink);
  if (!r) return std::unexpected(PipelineError(r.error()));
  return *r;
}

std::expected<Buffer, PipelineError> OpenedFilesystem::read_file(std::string_view path) const {
  return on_reader(reader_, [&](const auto& r) { return r.read_file(path); });
}

std::expected<fs::FileStat, PipelineError> OpenedFilesystem::stat(std::string_view path) const {
  return on_reader(reader_, [&](const auto& r) { return r.stat(path); });
}

std::expected<std::vector<fs::WalkEntry>, PipelineError> OpenedFilesystem::walk() const {
  return on_reader(reader_, [&](const auto& r) { return r.walk(); });
}

std::expected<bool, PipelineError> OpenedFilesystem::exists(std::string_view path) const {
  return on_reader(reader_, [&](const auto& r) { return r.exists(path); });
}

std::expected<std::string, PipelineError> OpenedFilesystem::stored_path(std::string_view path) const {
  return on_reader(reader_, [&](const auto& r) { return r.stored_path(path); });
}

fs::VolumeInfo OpenedFilesystem::volume_info() const {
  return std::visit([](const auto& r) { return r.volume_info(); }, reader_);
}

bool OpenedFilesystem::is_hidden_metadata(std::string_view root_name) const {
  if (fs_type() != fs::FsType::HfsPlus) return false;
  for (std::string_view name : kHfsHiddenNames)
    if (root_name == name) return true;
  return false;
}

}  // namespace tev::pipeline
