// The reader's queries, answered by the container behind it.
#include "tev/apfs/apfs_reader.h"

#include "container.h"

namespace tev::apfs {

ApfsReader::ApfsReader(std::unique_ptr<Container> container) : container_(std::move(container)) {}
ApfsReader::ApfsReader(ApfsReader&&) noexcept = default;
ApfsReader& ApfsReader::operator=(ApfsReader&&) noexcept = default;
ApfsReader::~ApfsReader() = default;

std::expected<ApfsReader, ApfsError> open_container(ByteSource source) {
  auto container = Container::open(std::move(source));
  if (!container) return std::unexpected(container.error());
  return ApfsReader(std::move(*container));
}

std::expected<std::vector<ApfsDirEntry>, ApfsError> ApfsReader::list_directory(std::string_view path) const {
  return container_->list_directory(path);
}
std::expected<fs::FileStat, ApfsError> ApfsReader::stat(std::string_view path) const { return container_->stat(path); }
std::expected<FileReadPlan, ApfsError> ApfsReader::plan_file(std::string_view path) const {
  return container_->plan_file(path);
}
std::expected<void, ApfsError> ApfsReader::read_planned(const FileReadPlan& plan, std::span<uint8_t> out) const {
  return container_->read_planned(plan, out);
}
std::expected<uint64_t, ApfsError> ApfsReader::read_planned(const FileReadPlan& plan, ByteSink& sink) const {
  return container_->read_planned(plan, sink);
}
std::expected<Buffer, ApfsError> ApfsReader::read_file(std::string_view path) const {
  return container_->read_file(path);
}
std::expected<std::vector<fs::WalkEntry>, ApfsError> ApfsReader::walk() const { return container_->walk(); }
std::expected<bool, ApfsError> ApfsReader::exists(std::string_view path) const { return container_->exists(path); }
std::expected<std::string, ApfsError> ApfsReader::stored_path(std::string_view path) const {
  return container_->stored_path(path);
}
fs::VolumeInfo ApfsReader::volume_info() const { return container_->volume_info(); }

}  // namespace tev::apfs
