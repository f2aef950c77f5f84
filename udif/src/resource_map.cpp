// The resource map: a property list (XML or binary) whose
// resource-fork/blkx array describes one partition per dictionary.
#include <plist/plist.h>

#include <charconv>
#include <limits>
#include <memory>

#include "tev/udif/image.h"

namespace tev::udif {
namespace {

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::string string_of(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string out = text ? text : "";
  free(text);
  return out;
}

template <class T>
bool parse_digits(std::string_view text, int base, T& out) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size();
}

bool all_of(std::string_view text, bool (*pred)(char)) {
  for (char c : text)
    if (!pred(c)) return false;
  return !text.empty();
}

bool is_decimal(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_decimal(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

int32_t parse_partition_id(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (!all_of(text, is_decimal)) return 0;
  int64_t value = 0;
  if (text.size() > 11 || !parse_digits(text, 10, value)) return 0;
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(value);
}

uint32_t parse_partition_attributes(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x")) {
    base = 16;
    text.remove_prefix(2);
  }
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (!all_of(text, base == 16 ? is_hex : is_decimal)) return 0;
  uint32_t value = 0;
  return parse_digits(text, base, value) ? value : 0;
}

std::expected<std::vector<PartitionEntry>, DmgError> parse_resource_map(std::span<const uint8_t> bytes) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max())
    return std::unexpected(DmgError::invalid_plist("plist parse error: property list too large"));
  plist_t raw = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root)
    return std::unexpected(
        DmgError::invalid_plist("plist parse error: not a valid XML or binary property list"));
  if (plist_get_node_type(root.get()) != PLIST_DICT)
    return std::unexpected(DmgError::invalid_plist("expected dictionary"));
  plist_t fork = plist_dict_get_item(root.get(), "resource-fork");
  if (fork == nullptr || plist_get_node_type(fork) != PLIST_DICT)
    return std::unexpected(DmgError::invalid_plist("missing resource-fork"));
  plist_t blkx = plist_dict_get_item(fork, "blkx");
  if (blkx == nullptr || plist_get_node_type(blkx) != PLIST_ARRAY)
    return std::unexpected(DmgError::invalid_plist("missing blkx array"));

  std::vector<PartitionEntry> partitions;
  uint32_t count = plist_array_get_size(blkx);
  for (uint32_t i = 0; i < count; ++i) {
    plist_t entry = plist_array_get_item(blkx, i);
    if (plist_get_node_type(entry) != PLIST_DICT)
      return std::unexpected(DmgError::invalid_plist("blkx entry not a dictionary"));
    PartitionEntry p;
    p.name = string_of(plist_dict_get_item(entry, "Name"));
    p.id = parse_partition_id(string_of(plist_dict_get_item(entry, "ID")));
    p.attributes = parse_partition_attributes(string_of(plist_dict_get_item(entry, "Attributes")));
    plist_t data = plist_dict_get_item(entry, "Data");
    if (data == nullptr || plist_get_node_type(data) != PLIST_DATA)
      return std::unexpected(DmgError::invalid_plist("missing Data in blkx entry"));
    char* blob = nullptr;
    uint64_t length = 0;
    plist_get_data_val(data, &blob, &length);
    std::unique_ptr<char, decltype(&free)> owned(blob, &free);
    auto table = parse_block_table({reinterpret_cast<const uint8_t*>(blob), static_cast<size_t>(length)});
    if (!table) return std::unexpected(table.error());
    p.table = std::move(*table);
    partitions.push_back(std::move(p));
  }
  return partitions;
}

}  // namespace tev::udif
