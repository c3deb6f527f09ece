#include "app/name_table.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/failure.hpp"
#include "runtime/failure_of_test.hpp"

namespace tarvel {
namespace {

HeapString name(const std::string& text) { return fromTerminated(text.c_str()); }

using testing::failureOf;

std::vector<std::string> visited(const NameTable& table) {
  std::vector<std::string> keys;
  table.visitItems([&](const NameNode& n) { keys.emplace_back(n.key.view()); });
  return keys;
}

TEST(NameTable, HashesToKnownBuckets) {
  EXPECT_EQ(NameTable::hashName(name("abc"), 511), 441u);
  EXPECT_EQ(NameTable::hashName(name("a.inc"), 511), 153u);
  EXPECT_EQ(NameTable::hashName(name("b.inc"), 511), 153u);
  EXPECT_EQ(NameTable::hashName(name("util.inc"), 511), 198u);
  EXPECT_EQ(NameTable::hashName(name(""), 511), 0u);
  // A length above 255 has its two low bytes exchanged; high bytes count.
  EXPECT_EQ(NameTable::hashName(name(std::string(300, 'x')), 0xFFFFFFFF), 0x819C9C81u);
  EXPECT_EQ(NameTable::hashName(name(std::string(20, '\xff')), 0xFFFFFFFF), 4182198265u);
}

TEST(NameTable, BucketCountFromSignificantBits) {
  EXPECT_EQ(NameTable(0).bucketCount(), 1u);
  EXPECT_EQ(NameTable(1).bucketCount(), 2u);
  EXPECT_EQ(NameTable(255).bucketCount(), 256u);
  EXPECT_EQ(createTable(256)->bucketCount(), 512u);
  EXPECT_EQ(NameTable(65536).bucketCount(), 131072u);
  EXPECT_EQ(failureOf([] { NameTable t(65537); }), failure::kValueOutOfRange);
}

TEST(NameTable, GetNodeAddsEachNameOnce) {
  NameTable table(256);
  HeapString first = name("a.inc");
  EXPECT_EQ(table.lookup(first), nullptr);
  NameNode* node = table.getNode(first);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->value, 0u);
  EXPECT_NE(node->key.chars(), first.chars());  // the node owns a copy
  first.chars()[0] = 'z';
  EXPECT_EQ(table.lookup(name("a.inc")), node);
  EXPECT_EQ(table.getNode(name("a.inc")), node);
  EXPECT_EQ(table.lookup(name("z.inc")), nullptr);

  NameNode* upper = table.getNode(name("A.INC"));
  EXPECT_NE(upper, node);
  EXPECT_EQ(table.lookup(name("")), nullptr);
  NameNode* empty = table.getNode(name(""));
  EXPECT_EQ(table.lookup(name("")), empty);
  EXPECT_EQ(visited(table).size(), 3u);
}

TEST(NameTable, VisitAndDestroyOrder) {
  NameTable table(256);
  for (const char* n : {"a.inc", "util.inc", "b.inc", "", "abc"}) table.getNode(name(n));
  // Highest bucket first; a chain keeps insertion order.
  EXPECT_EQ(visited(table), (std::vector<std::string>{"abc", "util.inc", "a.inc", "b.inc", ""}));

  std::vector<std::string> released;
  table.destroyTable(
      [](NameNode& n, void* context) {
        static_cast<std::vector<std::string>*>(context)->emplace_back(n.key.view());
      },
      &released);
  EXPECT_EQ(released, (std::vector<std::string>{"", "a.inc", "b.inc", "util.inc", "abc"}));
}

TEST(NameTable, GrowsAndKeepsEveryNameFindable) {
  NameTable table(1);
  std::vector<NameNode*> nodes;
  for (int i = 0; i < 5000; ++i) nodes.push_back(table.getNode(name(std::to_string(i) + ".inc")));
  EXPECT_EQ(table.bucketCount(), 8192u);
  for (int i = 0; i < 5000; ++i)
    EXPECT_EQ(table.lookup(name(std::to_string(i) + ".inc")), nodes[i]);
  EXPECT_EQ(visited(table).size(), 5000u);
}

}  // namespace
}  // namespace tarvel
