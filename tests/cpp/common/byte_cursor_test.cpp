#include "tev/common/byte_cursor.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace tev {
namespace {

TEST(ByteCursor, ReadsBothByteOrders) {
  const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                          0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
                          0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
  ByteCursor c(data);
  EXPECT_EQ(*c.u8(), 0x01);
  EXPECT_EQ(*c.u16be(), 0x0203);
  EXPECT_EQ(*c.u32be(), 0x04050607u);
  EXPECT_EQ(*c.u64be(), 0x08090A0B0C0D0E0Full);
  EXPECT_EQ(*c.u16le(), 0x1110);
  EXPECT_EQ(*c.u32le(), 0x15141312u);
  EXPECT_EQ(*c.u64le(), 0x1D1C1B1A19181716ull);
  EXPECT_EQ(c.remaining(), 2u);
  EXPECT_EQ(*read_be<uint32_t>(data, 1), 0x02030405u);
  EXPECT_EQ(*read_le<uint16_t>(data, 0), 0x0201);
  EXPECT_FALSE(read_be<uint32_t>(data, 28));
  EXPECT_FALSE(read_le<uint16_t>(data, SIZE_MAX));
}

TEST(ByteCursor, RefusesToReadPastTheEndWithoutMoving) {
  const uint8_t data[] = {1, 2, 3};
  ByteCursor c(data);
  EXPECT_FALSE(c.u32be());
  EXPECT_EQ(c.position(), 0u);
  EXPECT_TRUE(c.skip(3));
  EXPECT_FALSE(c.u8());
  EXPECT_FALSE(c.skip(1));
  EXPECT_FALSE(c.seek(4));
  EXPECT_TRUE(c.seek(1));
  EXPECT_FALSE(c.bytes(3));
  auto rest = c.bytes(2);
  ASSERT_TRUE(rest);
  EXPECT_EQ((*rest)[0], 2);
  // A cursor started beyond its bytes has nothing to give.
  ByteCursor beyond(data, 10);
  EXPECT_EQ(beyond.remaining(), 0u);
  EXPECT_FALSE(beyond.u8());
}

TEST(StructView, IsMadeOnlyOverEnoughBytesAndReadsAndWritesNamedFields) {
  constexpr Field<uint32_t, 2> kWord;
  std::array<uint8_t, 8> out{};
  store_be(std::span<uint8_t, 8>(out), kWord, 0xA1B2C3D4u);
  EXPECT_EQ(out[2], 0xA1);
  EXPECT_EQ(out[5], 0xD4);
  auto view = StructView<8>::of(out);
  ASSERT_TRUE(view);
  EXPECT_EQ(view->be(kWord), 0xA1B2C3D4u);
  EXPECT_EQ((view->le<uint16_t, 6>()), 0);
  EXPECT_FALSE(StructView<8>::of(std::span(out).first(7)));
  EXPECT_FALSE(StructView<4>::of(out, 5));
  EXPECT_FALSE(StructView<4>::of(out, SIZE_MAX));
  EXPECT_TRUE(StructView<4>::of(out, 4));
}

}  // namespace
}  // namespace tev
