// NameTable: a hash table keyed by counted-string names, with chained
// buckets and a one-word value per entry.  The command keeps one, the set of
// names that include directives have already named.
//
// The bucket count starts as a power of two from the requested size's
// significant bits, and doubles whenever a new name would make the nodes
// outnumber the buckets: every node is then rehashed with the same hash
// function and the wider mask.  A chain keeps insertion order, and so do the
// nodes of a chain that land in the same bucket after a rehash.  Each node
// owns a copy of its key; the table owns its nodes and its bucket array and
// releases them in destroyTable, or in its destructor when destroyTable was
// not called.
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/counted_string.hpp"

namespace tarvel {

// One entry: a name and a value word that is 0 when the node is made.
struct NameNode {
  NameNode* next;
  std::uint32_t value;
  HeapString key;
};

class NameTable {
 public:
  // The largest requested size; one more raises kValueOutOfRange.
  static constexpr std::uint32_t kMaxRequestedSize = 65536;

  // Raises kValueOutOfRange when requestedSize is above kMaxRequestedSize, kMemoryAllocation when
  // memory runs out.
  explicit NameTable(std::uint32_t requestedSize);
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;
  ~NameTable();

  std::uint32_t bucketCount() const { return bucketCount_; }

  // The node whose key equals name (byte for byte), or null.
  NameNode* lookup(StringRef name) const;
  // The node whose key equals name, added at the tail of its chain first
  // when there is none (after doubling the buckets when they are full).
  // The caller keeps its name; the node gets a copy.
  NameNode* getNode(StringRef name);

  // Visits every node, buckets from the highest index down, each chain from
  // head to tail.
  template <class Visitor>
  void visitItems(Visitor&& visit) const {
    for (std::uint32_t i = bucketCount_; i > 0; --i) {
      for (NameNode* n = buckets_[i - 1]; n != nullptr; n = n->next) visit(*n);
    }
  }

  // Calls release on every node, then releases it and its key, bucket by
  // bucket from index 0; finally releases the bucket array.  The table is
  // empty and unusable afterwards.
  using ReleaseCallback = void (*)(NameNode& node, void* context);
  void destroyTable(ReleaseCallback release, void* context = nullptr);

  // The bucket index of name for a table with the given mask.
  static std::uint32_t hashName(StringRef name, std::uint32_t mask);

 private:
  // The link that holds name's node, or the null link at the tail of its
  // chain where it would go.
  NameNode** findLink(StringRef name) const;
  // Doubles the buckets and rehashes every node.  Raises kMemoryAllocation when memory
  // runs out, the table unchanged.
  void grow();

  // Growth stops here, so that the bucket array stays addressable.
  static constexpr std::uint32_t kMaxBucketCount = 1u << 28;

  std::uint32_t mask_ = 0;
  std::uint32_t bucketCount_ = 0;
  std::uint32_t nodeCount_ = 0;
  NameNode** buckets_ = nullptr;
};

// A new table for about requestedSize names.  Raises as the constructor.
std::unique_ptr<NameTable> createTable(std::uint32_t requestedSize);

}  // namespace tarvel
