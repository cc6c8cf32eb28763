#pragma once

// Ordered, doubly linked lists of entries with a bucket index on the upper 16 bits of an unsigned
// 32-bit key (PathCRC for PathList, CRC32 for ContentList). What every operation keeps true:
//   1. Keys never decrease along next; equal keys stand in the order they were linked.
//   2. For b >= 1, slot b holds the first node in list order whose key >> 16 is b, or null.
//   3. Slot 0 holds the head, and is null only for an empty list.
//   4. So every node before the node in slot b has a key in a lower bucket.
// Nodes are allocated zero-filled by the callers; the lists never allocate or free anything.

#include <array>
#include <cstdint>

#include "store/entry.h"

struct EntryNode {
  Entry entry;
  EntryNode* prev;
  EntryNode* next;
};

struct EntryList {
  EntryNode* first;
  EntryNode* last;
  std::uint64_t count;
};

inline constexpr std::size_t kBucketCount = 65536;
struct BucketIndex {
  std::array<EntryNode*, kBucketCount> slots;
};

constexpr std::uint32_t BucketOf(std::uint32_t key) { return key >> 16; }

// List primitives: they keep first, last and count, and never touch an index.
void PushFront(Entry entry, EntryNode* node, EntryList& list);
void PushBack(Entry entry, EntryNode* node, EntryList& list);
// pos is a linked node of list.
void InsertBefore(EntryNode* pos, Entry entry, EntryNode* node, EntryList& list);
// Leaves node's own links as they were, so a walk along the list can go on from node->next.
void Unlink(EntryNode* node, EntryList& list);

void ClearList(EntryList& list);
void ClearIndex(BucketIndex& index);

// Index operations.
// The node to start a lookup at: the first node of the key's bucket or, when that is empty, of the
// nearest lower occupied bucket (the head at worst). Only for a non-empty list.
EntryNode* FindStartNode(const BucketIndex& index, std::uint32_t key);
// Only for an empty list: links node as the head, in its own slot and slot 0.
void InsertFirst(EntryList& list, BucketIndex& index, Entry entry, EntryNode* node, std::uint32_t key);
void InsertBeforeIndexed(EntryList& list, BucketIndex& index, EntryNode* pos, Entry entry, EntryNode* node,
                         std::uint32_t key);
// Links node at the tail and fills its slot if empty. Used to rebuild a list in stored order; the
// caller then sets slot 0 to the head.
void AppendIndexed(EntryList& list, BucketIndex& index, Entry entry, EntryNode* node, std::uint32_t key);

// Takes a linked node out of the list and keeps every slot true: the slot of the bucket it was
// linked under (`key`, which its entry may no longer hold) passes to the next node when that is of
// the same bucket, or empties; slot 0 follows the head. The node keeps its own links, as with Unlink.
void UnlinkIndexed(EntryList& list, BucketIndex& index, EntryNode* node, std::uint32_t key,
                   std::uint32_t (*keyOf)(Entry));

// The node that links `entry` into the list under `key`, searched from the key's bucket along the
// equal keys; null when the entry is not linked there.
EntryNode* FindNode(const EntryList& list, const BucketIndex& index, Entry entry, std::uint32_t key,
                    std::uint32_t (*keyOf)(Entry));

// Unlinks every node whose entry is marked removed (NameLength 0) and returns how many. Slots are
// left alone: nothing looks the list up after a prune.
std::uint64_t PruneRemoved(EntryList& list);

inline std::uint32_t PathKey(Entry e) { return Get(e, Field::PathCRC); }
inline std::uint32_t ContentKey(Entry e) { return Get(e, Field::CRC32); }

// What the caller decides when the lookup meets a node with the sought key.
enum class OnEqualKey {
  kStop,      // the lookup ends at this node; nothing is linked
  kContinue,  // go on as for a greater key, so the new node lands after the equal keys
};

// Lookup with insertion: finds where key belongs, consulting onEqual(node) for each node with an
// equal key. Returns the node it stopped at, or nullptr once the new node has been linked (in
// front of the first greater key, or at the tail). A caller that knows a later node the scan
// would reach with nothing to decide on the way may give it as `start`.
template <typename KeyOf, typename OnEqual>
EntryNode* LookupWithInsertion(EntryList& list, BucketIndex& index, Entry entry, EntryNode* node, std::uint32_t key,
                               KeyOf keyOf, OnEqual onEqual, EntryNode* start = nullptr) {
  if (list.count == 0) {
    InsertFirst(list, index, entry, node, key);
    return nullptr;
  }
  for (EntryNode* cur = start != nullptr ? start : FindStartNode(index, key); cur != nullptr; cur = cur->next) {
    const std::uint32_t curKey = keyOf(cur->entry);
    if (key < curKey) {
      InsertBeforeIndexed(list, index, cur, entry, node, key);
      return nullptr;
    }
    if (key == curKey && onEqual(cur) == OnEqualKey::kStop) {
      return cur;
    }
  }
  AppendIndexed(list, index, entry, node, key);
  return nullptr;
}
