#include "app/name_table.hpp"

#include <cstring>
#include <new>

#include "runtime/failure.hpp"

namespace tarvel {

namespace {

bool sameName(StringRef a, StringRef b) {
  return a.length() == b.length() && std::memcmp(a.chars(), b.chars(), a.length()) == 0;
}

}  // namespace

NameTable::NameTable(std::uint32_t requestedSize) {
  if (requestedSize > kMaxRequestedSize) raiseFailure(failure::kValueOutOfRange);
  std::uint32_t count = 1;
  for (std::uint32_t s = requestedSize; s != 0; s >>= 1) count <<= 1;
  const std::uint32_t bytes = count * static_cast<std::uint32_t>(sizeof(NameNode*));
  buckets_ = static_cast<NameNode**>(allocBlock(bytes));
  std::memset(buckets_, 0, bytes);
  bucketCount_ = count;
  mask_ = count - 1;
}

NameTable::~NameTable() {
  if (buckets_ != nullptr) destroyTable([](NameNode&, void*) {});
}

std::uint32_t NameTable::hashName(StringRef name, std::uint32_t mask) {
  std::uint32_t h = name.length();
  h = (h & 0xFFFF0000u) | ((h & 0xFFu) << 8) | ((h >> 8) & 0xFFu);
  for (std::uint32_t i = 0; i < name.length(); ++i) {
    const std::uint32_t low = h & 0xFFFFu;
    h = (h & 0xFFFF0000u) | (((low << 3) | (low >> 13)) & 0xFFFFu);
    h += static_cast<unsigned char>(name[i]);
  }
  h ^= (h >> 24) | ((h >> 8) & 0xFF00u) | ((h << 8) & 0xFF0000u) | (h << 24);
  return h & mask;
}

NameNode** NameTable::findLink(StringRef name) const {
  NameNode** link = &buckets_[hashName(name, mask_)];
  while (*link != nullptr && !sameName((*link)->key, name)) link = &(*link)->next;
  return link;
}

NameNode* NameTable::lookup(StringRef name) const { return *findLink(name); }

void NameTable::grow() {
  const std::uint32_t count = bucketCount_ * 2;
  const std::uint32_t bytes = count * static_cast<std::uint32_t>(sizeof(NameNode*));
  auto** buckets = static_cast<NameNode**>(allocBlock(bytes));
  std::memset(buckets, 0, bytes);
  // Bucket i splits into i and i + bucketCount_; walking each chain in
  // order and appending keeps the order of the nodes that stay together.
  for (std::uint32_t i = 0; i < bucketCount_; ++i) {
    NameNode** tails[2] = {&buckets[i], &buckets[i + bucketCount_]};
    for (NameNode* node = buckets_[i]; node != nullptr;) {
      NameNode* next = node->next;
      NameNode**& tail = tails[hashName(node->key, count - 1) == i ? 0 : 1];
      node->next = nullptr;
      *tail = node;
      tail = &node->next;
      node = next;
    }
  }
  freeBlock(buckets_);
  buckets_ = buckets;
  bucketCount_ = count;
  mask_ = count - 1;
}

NameNode* NameTable::getNode(StringRef name) {
  NameNode** link = findLink(name);
  if (*link != nullptr) return *link;
  if (nodeCount_ >= bucketCount_ && bucketCount_ <= kMaxBucketCount / 2) {
    grow();
    link = findLink(name);
  }
  // The key is copied before the node is linked, so a failure leaves the
  // table as it was.
  HeapString key = duplicateString(name);
  void* block = allocBlock(sizeof(NameNode));
  *link = new (block) NameNode{nullptr, 0, std::move(key)};
  ++nodeCount_;
  return *link;
}

void NameTable::destroyTable(ReleaseCallback release, void* context) {
  for (std::uint32_t i = 0; i < bucketCount_; ++i) {
    NameNode* node = buckets_[i];
    while (node != nullptr) {
      NameNode* next = node->next;
      release(*node, context);
      node->~NameNode();  // releases the key
      freeBlock(node);
      node = next;
    }
  }
  freeBlock(buckets_);
  buckets_ = nullptr;
  bucketCount_ = 0;
  nodeCount_ = 0;
  mask_ = 0;
}

std::unique_ptr<NameTable> createTable(std::uint32_t requestedSize) {
  return std::make_unique<NameTable>(requestedSize);
}

}  // namespace tarvel
