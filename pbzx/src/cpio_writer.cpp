#include "tev/pbzx/cpio_writer.h"

#include <fmt/format.h>

namespace tev::pbzx {
namespace {

constexpr size_t kHeaderSize = 110;

std::span<const uint8_t> bytes_of(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

}  // namespace

void CpioWriter::entry(std::string_view name, std::span<const uint8_t> data, uint32_t mode) {
  uint32_t namesize = static_cast<uint32_t>(name.size() + 1);
  std::string header = fmt::format("070701{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}",
                                   next_ino_++, mode, 0, 0, 1, 0, static_cast<uint32_t>(data.size()), 0, 0, 0, 0,
                                   namesize, 0);
  buffer_.insert(buffer_.end(), header.begin(), header.end());
  buffer_.insert(buffer_.end(), name.begin(), name.end());
  buffer_.push_back(0);
  buffer_.insert(buffer_.end(), (4 - (kHeaderSize + namesize) % 4) % 4, 0);
  buffer_.insert(buffer_.end(), data.begin(), data.end());
  buffer_.insert(buffer_.end(), (4 - data.size() % 4) % 4, 0);
}

std::expected<void, PbzxError> CpioWriter::add_file(std::string_view path, std::span<const uint8_t> content,
                                                    uint32_t mode) {
  // The header's size field has 32 bits.
  if (content.size() > UINT32_MAX)
    return std::unexpected(PbzxError::invalid_cpio(
        fmt::format("{} bytes are too many for one CPIO entry (at most 4294967295)", content.size())));
  entry(path, content, kFile | (mode & 07777));
  return {};
}

void CpioWriter::add_directory(std::string_view path, uint32_t mode) { entry(path, {}, kDirectory | (mode & 07777)); }

void CpioWriter::add_symlink(std::string_view path, std::string_view target, uint32_t mode) {
  entry(path, bytes_of(target), kSymlink | (mode & 07777));
}

std::vector<uint8_t> CpioWriter::finish() && {
  entry("TRAILER!!!", {}, 0);
  return std::move(buffer_);
}

}  // namespace tev::pbzx
