#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tev::hfsplus {

// The case folding of HFS+ name comparison: upper-case letters of Basic
// Latin, Latin-1 and Latin Extended-A map to their lower-case partners, every
// other unit to itself.
uint16_t fold_case(uint16_t unit);

// An on-disk name (UTF-16 big-endian) as UTF-8, with no normalisation. An
// unpaired surrogate becomes U+FFFD. HFS+ keeps a POSIX ':' as '/' in the
// stored name, so '/' comes out as ':'.
std::string name_to_utf8(std::span<const uint8_t> utf16be);
// A path component as UTF-16 code units for lookups: the reverse of the
// above, ':' goes in as '/'.
std::vector<uint16_t> name_to_utf16(std::string_view utf8);

}  // namespace tev::hfsplus
