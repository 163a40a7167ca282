// GUID keys: hash, equality, ordering and the two text forms.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "types/dds_guid.h"

namespace {

dds_guid make(std::initializer_list<uint8_t> prefix, uint32_t entity_id) {
  dds_guid g{};
  size_t i = 0;
  for (uint8_t b : prefix) {
    g.prefix[i++] = b;
  }
  g.entity_id = entity_id;
  return g;
}

std::string text(const dds_guid& g) {
  char buffer[DDS_GUID_TEXT_SIZE];
  EXPECT_EQ(dds_guid_to_text(&g, buffer, sizeof(buffer)), 35u);
  return buffer;
}

}  // namespace

TEST(Guid, HashEqualityAndOrderingOfKnownKeys) {
  const dds_guid zero{};
  const dds_guid zero2{};
  EXPECT_EQ(dds_guid_hash(&zero), 0u);
  EXPECT_TRUE(dds_guid_equals(&zero, &zero2));
  EXPECT_EQ(dds_guid_compare(&zero, &zero2), 0);

  uint8_t ones[16];
  std::memset(ones, 0xff, sizeof(ones));
  EXPECT_EQ(dds_guid_hash(ones), 0x3FFFFFFFCull);

  const dds_guid g = make({0x01, 0x0f, 0x2a, 0x3b, 0, 0, 0, 1, 0, 0, 0, 2}, 0x00000102);
  EXPECT_EQ(dds_guid_hash(&g), 0x3E2A1003ull);

  // A key in unaligned storage (as a map may hold it) reads the same.
  alignas(8) uint8_t raw[17];
  std::memcpy(raw + 1, &g, sizeof(g));
  EXPECT_EQ(dds_guid_hash(raw + 1), 0x3E2A1003ull);
  EXPECT_TRUE(dds_guid_equals(raw + 1, &g));
}

TEST(Guid, GreaterKeySortsFirstWithEntityIdsComparedAsIntegers) {
  const dds_guid a = make({0x02}, 0);
  const dds_guid b = make({0x01}, 0);
  EXPECT_EQ(dds_guid_compare(&a, &b), -1);
  EXPECT_EQ(dds_guid_compare(&b, &a), 1);
  EXPECT_FALSE(dds_guid_equals(&a, &b));

  // A later prefix byte matters only when the earlier ones are equal.
  const dds_guid c = make({0x01, 0xff}, 0);
  const dds_guid d = make({0x02, 0x00}, 0);
  EXPECT_EQ(dds_guid_compare(&c, &d), 1);

  // 0x102 < 0x201 as integers, although byte-wise storage order says otherwise.
  const dds_guid e = make({7, 7, 7}, 0x00000102);
  const dds_guid f = make({7, 7, 7}, 0x00000201);
  EXPECT_EQ(dds_guid_compare(&e, &f), 1);
  EXPECT_EQ(dds_guid_compare(&f, &e), -1);
  EXPECT_FALSE(dds_guid_equals(&e, &f));
  // Keys differing only in the last prefix byte are not equal.
  const dds_guid last = make({7, 7, 7, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0x102);
  EXPECT_FALSE(dds_guid_equals(&e, &last));
}

TEST(Guid, TextFormsAndBufferBounds) {
  EXPECT_EQ(text(make({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 450)),
            "01020304 05060708 090a0b0c 000001c2");
  EXPECT_EQ(text(make({0x01, 0x0f, 0x2a, 0x3b, 0, 0, 0, 1, 0, 0, 0, 2}, 0x00000102)),
            "010f2a3b 00000001 00000002 00000102");

  const uint8_t prefix[12] = {};
  char buffer[DDS_GUID_PREFIX_TEXT_SIZE];
  EXPECT_EQ(dds_guid_prefix_to_text(prefix, buffer, sizeof(buffer)), 26u);
  EXPECT_STREQ(buffer, "00000000 00000000 00000000");

  // Too small a buffer gets an empty string, nothing written past it.
  char small[36];
  std::memset(small, 'z', sizeof(small));
  const dds_guid g{};
  EXPECT_EQ(dds_guid_to_text(&g, small, 35), 0u);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(small[35], 'z');
  EXPECT_EQ(dds_guid_prefix_to_text(prefix, small, 26), 0u);
}

TEST(Guid, EntityKindPredicatesIgnoreTheBuiltinAndVendorFlags) {
  // Writer with key, writer without key, each also built-in; readers.
  for (uint32_t id : {0x00000102u, 0x00000103u, 0x000100c2u, 0x000100c3u}) {
    EXPECT_TRUE(dds_entity_id_is_writer(id)) << std::hex << id;
  }
  for (uint32_t id : {0x00000104u, 0x00000107u, 0x000100c7u, 0x00000101u}) {
    EXPECT_FALSE(dds_entity_id_is_writer(id)) << std::hex << id;
  }
  EXPECT_TRUE(dds_entity_id_is_keyed(0x00000102u));
  EXPECT_TRUE(dds_entity_id_is_keyed(0x000100c7u));
  EXPECT_FALSE(dds_entity_id_is_keyed(0x00000103u));
  EXPECT_FALSE(dds_entity_id_is_keyed(0x00000104u));
}
