#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "tev/common/byte_sink.h"
#include "tev/common/byte_source.h"
#include "tev/xar/toc.h"
#include "tev/xar/xar_error.h"

namespace tev::xar {

// Decodes one member's stored bytes from the heap into the sink, checking
// its archived and extracted checksums where the TOC gives them in a style
// this reader knows; returns the number of decoded bytes. `path` names the
// member in messages.
std::expected<uint64_t, XarError> decode_member(const ByteSource& source, uint64_t heap_start,
                                                const FileData& data, std::string_view path, ByteSink& sink);

// The same into a buffer of exactly the decoded size (`data.size` bytes),
// for members whose size the stored bytes prove (stored, deflate): decoded
// in one call, without a copy. Other encodings stream into the buffer.
std::expected<void, XarError> decode_member_into(const ByteSource& source, uint64_t heap_start, const FileData& data,
                                                 std::string_view path, std::span<uint8_t> out);

// Whether decode_member_into may be given a buffer of `data.size` bytes:
// the stored bytes of a stored or deflate member bound what it decodes to.
bool size_is_provable(const FileData& data);

}  // namespace tev::xar
