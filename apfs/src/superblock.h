#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "tev/apfs/apfs_error.h"

namespace tev::apfs {

inline constexpr uint32_t kContainerMagic = 0x4253584E;  // "NXSB"
inline constexpr uint32_t kVolumeMagic = 0x42535041;     // "APSB"
inline constexpr uint16_t kTypeContainerSuperblock = 1;

// The first 32 bytes of every object.
struct ObjectHeader {
  uint64_t checksum = 0;
  uint64_t oid = 0;
  uint64_t xid = 0;
  uint32_t type = 0;
  uint32_t subtype = 0;
};

// The Fletcher-64 checksum of an object, over its bytes after the checksum field.
bool fletcher64_valid(std::span<const uint8_t> block);
// The checksum a block would need (its first 8 bytes are left out).
uint64_t fletcher64(std::span<const uint8_t> block);

std::expected<ObjectHeader, ApfsError> decode_object_header(std::span<const uint8_t> block);

struct ContainerSuperblock {
  ObjectHeader header;
  uint32_t block_size = 0;
  uint64_t block_count = 0;
  uint32_t checkpoint_descriptor_blocks = 0;
  uint64_t checkpoint_descriptor_base = 0;
  uint64_t object_map_oid = 0;
  uint32_t max_file_systems = 0;
  std::vector<uint64_t> volume_oids;
};

struct VolumeSuperblock {
  ObjectHeader header;
  uint32_t fs_index = 0;
  uint64_t object_map_oid = 0;
  uint64_t root_tree_oid = 0;
  uint64_t file_count = 0;
  uint64_t directory_count = 0;
  uint64_t symlink_count = 0;
  std::string name;
};

std::expected<ContainerSuperblock, ApfsError> decode_container_superblock(std::span<const uint8_t> block);
std::expected<VolumeSuperblock, ApfsError> decode_volume_superblock(std::span<const uint8_t> block);

}  // namespace tev::apfs
