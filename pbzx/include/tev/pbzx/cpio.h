#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tev/common/extract_stats.h"
#include "tev/common/tree_extractor.h"
#include "tev/pbzx/pbzx_error.h"

namespace tev::pbzx {

// "070701", "070702", "070707", and the old binary format whose magic is
// 070707 as a 16-bit word in either byte order.
enum class CpioFormat { NewAscii, NewCrc, OldPortable, OldBinary };

// Whether a format stores the data of hard-linked files once, on the last
// link; the old formats repeat it on every link.
inline bool stores_link_data_once(CpioFormat f) { return f == CpioFormat::NewAscii || f == CpioFormat::NewCrc; }

struct CpioHeader {
  CpioFormat format = CpioFormat::NewAscii;
  std::string name;  // the bytes as stored, in whatever encoding the archive used
  uint64_t mtime = 0;
  uint64_t filesize = 0;
  uint32_t ino = 0, mode = 0, uid = 0, gid = 0, nlink = 0;
  uint32_t devmajor = 0, devminor = 0, rdevmajor = 0, rdevminor = 0;
  uint32_t namesize = 0, check = 0;

  uint32_t file_type() const { return mode & 0xF000; }
  bool is_dir() const { return file_type() == 0x4000; }
  bool is_file() const { return file_type() == 0x8000; }
  bool is_symlink() const { return file_type() == 0xA000; }
};

// Walks the entries of an archive held in memory, in place.
class CpioReader {
 public:
  explicit CpioReader(std::span<const uint8_t> archive) : data_(archive) {}

  // The next header, nullopt at the end of the data; leaves the reader at
  // the entry's data.
  std::expected<std::optional<CpioHeader>, PbzxError> next_entry();
  // The entry's data and its padding.
  std::expected<std::span<const uint8_t>, PbzxError> read_data(uint64_t length);
  std::expected<void, PbzxError> skip_data(uint64_t length);
  size_t position() const { return pos_; }

 private:
  std::expected<std::span<const uint8_t>, PbzxError> take(uint64_t length);
  std::expected<void, PbzxError> ascii_fields(CpioHeader& h);
  std::expected<void, PbzxError> binary_fields(CpioHeader& h, bool big_endian);

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  CpioFormat format_ = CpioFormat::NewAscii;
};

// One listed entry.
struct CpioEntry {
  std::string path;  // bytes as stored; not necessarily UTF-8
  uint64_t size = 0;
  uint32_t mode = 0;
  uint64_t mtime = 0;
  uint32_t uid = 0, gid = 0;
  bool is_dir = false, is_symlink = false;
  std::optional<std::string> link_target;  // bytes as stored, like the path
};

std::expected<std::vector<CpioEntry>, PbzxError> list_entries(std::span<const uint8_t> archive);
// The data of the first entry stored under exactly this name.
std::expected<std::vector<uint8_t>, PbzxError> find_file(std::span<const uint8_t> archive, std::string_view name);
// Extracts the entries below `base` (all of them for "" or "/") into `dest`.
std::expected<ExtractStats, PbzxError> extract_tree(std::span<const uint8_t> archive, std::string_view base,
                                                    const std::string& dest, const ExtractOptions& options = {});

std::string normalize_entry_path(std::string_view path);
std::expected<std::string, PbzxError> validate_relative_path(std::string_view path);

}  // namespace tev::pbzx
