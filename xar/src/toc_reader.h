#pragma once

#include <expected>

#include "tev/common/byte_source.h"
#include "tev/xar/toc.h"
#include "tev/xar/xar_error.h"
#include "tev/xar/xar_reader.h"

namespace tev::xar {

struct TocAndHeap {
  Toc toc;
  uint64_t heap_start;
};

// Decompresses the TOC that follows the header, checks its declared lengths
// and its own checksum, and parses it.
std::expected<TocAndHeap, XarError> read_toc(const ByteSource& source, const XarHeader& header);

}  // namespace tev::xar
