#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "tev/xar/toc.h"
#include "tev/xar/xar_error.h"

namespace tev::xar {

// Elements may nest this deep in a TOC. Real tables of contents nest one
// <file> per directory level plus a handful of elements around them.
inline constexpr size_t kMaxTocDepth = 200;

// Turns the TOC's XML text into the entry table (in post-order of the <file>
// elements, with parents, paths and hard links resolved), the TOC's own
// checksum and its signatures. The document may not declare or use entities
// of its own, load a DTD or reach outside itself.
std::expected<Toc, XarError> parse_toc_xml(std::span<const uint8_t> text);

}  // namespace tev::xar
