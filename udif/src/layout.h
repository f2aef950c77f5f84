// The fixed layouts of UDIF: the "koly" trailer, the "mish" block table
// header and its 40-byte runs, all big-endian. Each layout is one list of
// fields that the reader decodes and the writer encodes, so the two cannot
// drift apart.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "tev/common/byte_cursor.h"
#include "tev/udif/image.h"

namespace tev::udif::layout {

template <size_t kOffset>
using U32 = Field<uint32_t, kOffset>;
template <size_t kOffset>
using U64 = Field<uint64_t, kOffset>;
// Bytes kept as they are.
template <size_t kOffset, size_t kLength>
struct Bytes {};
// A checksum block: type, size in bits, 128 value bytes.
template <size_t kOffset>
struct Checksum {};

inline constexpr size_t kChecksumSize = 136;

// The trailer's fields up to the sector count; the last 12 bytes are unused.
inline constexpr size_t kTrailerFieldsSize = 500;

template <class Trailer, class Visit>
void koly_fields(Trailer& t, Visit&& v) {
  v(U32<4>{}, t.version);
  v(U32<8>{}, t.header_size);
  v(U32<12>{}, t.flags);
  v(U64<16>{}, t.running_data_fork_offset);
  v(U64<24>{}, t.data_fork_offset);
  v(U64<32>{}, t.data_fork_length);
  v(U64<40>{}, t.resource_fork_offset);
  v(U64<48>{}, t.resource_fork_length);
  v(U32<56>{}, t.segment_number);
  v(U32<60>{}, t.segment_count);
  v(Bytes<64, 16>{}, t.segment_id);
  v(Checksum<80>{}, t.data_checksum);
  v(U64<216>{}, t.xml_offset);
  v(U64<224>{}, t.xml_length);
  // 120 reserved bytes follow the resource map's length.
  v(Checksum<352>{}, t.master_checksum);
  v(U32<488>{}, t.image_variant);
  v(U64<492>{}, t.sector_count);
}

// The block table header; the run count at 200 is written and read with
// the runs.
template <class Table, class Visit>
void mish_fields(Table& t, Visit&& v) {
  v(U32<4>{}, t.version);
  v(U64<8>{}, t.first_sector);
  v(U64<16>{}, t.sector_count);
  v(U64<24>{}, t.data_offset);
  v(U32<32>{}, t.buffers_needed);
  v(U32<36>{}, t.block_descriptors);
  v(Bytes<40, 24>{}, t.reserved);
  v(Checksum<64>{}, t.checksum);
}
inline constexpr Field<uint32_t, 200> kRunCount;

template <class Run, class Visit>
void run_fields(Run& r, Visit&& v) {
  v(U32<0>{}, r.type);
  v(U32<4>{}, r.comment);
  v(U64<8>{}, r.sector_number);
  v(U64<16>{}, r.sector_count);
  v(U64<24>{}, r.compressed_offset);
  v(U64<32>{}, r.compressed_length);
}

// Decodes the fields of a layout from a view of its bytes.
template <size_t N>
struct Reader {
  StructView<N> view;
  template <class T, size_t kOffset>
  void operator()(Field<T, kOffset>, T& member) const {
    member = view.template be<T, kOffset>();
  }
  template <size_t kOffset, size_t kLength>
  void operator()(Bytes<kOffset, kLength>, std::array<uint8_t, kLength>& member) const {
    auto b = view.template bytes<kOffset, kLength>();
    std::copy(b.begin(), b.end(), member.begin());
  }
  template <size_t kOffset>
  void operator()(Checksum<kOffset>, UdifChecksum& c) const {
    c.type = view.template be<uint32_t, kOffset>();
    c.size = view.template be<uint32_t, kOffset + 4>();
    auto b = view.template bytes<kOffset + 8, 128>();
    std::copy(b.begin(), b.end(), c.value.begin());
  }
};

// Encodes the fields of a layout into its bytes.
template <size_t N>
struct Writer {
  std::span<uint8_t, N> out;
  template <class T, size_t kOffset>
  void operator()(Field<T, kOffset> f, const T& member) const {
    store_be(out, f, member);
  }
  template <size_t kOffset, size_t kLength>
  void operator()(Bytes<kOffset, kLength>, const std::array<uint8_t, kLength>& member) const {
    static_assert(kOffset + kLength <= N);
    std::copy(member.begin(), member.end(), out.begin() + kOffset);
  }
  template <size_t kOffset>
  void operator()(Checksum<kOffset>, const UdifChecksum& c) const {
    static_assert(kOffset + kChecksumSize <= N);
    store_be(out, Field<uint32_t, kOffset>{}, c.type);
    store_be(out, Field<uint32_t, kOffset + 4>{}, c.size);
    std::copy(c.value.begin(), c.value.end(), out.begin() + kOffset + 8);
  }
};

}  // namespace tev::udif::layout
