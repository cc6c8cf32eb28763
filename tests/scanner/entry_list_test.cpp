#include "scanner/entry_list.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

namespace {

// A list with its index and storage for entries that hold only a key.
class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearList(list);
    index = std::make_unique<BucketIndex>();
    ClearIndex(*index);
  }

  Entry NewEntry(std::uint32_t key, std::uint16_t nameLength = 2) {
    records.emplace_back(kEntryHeaderSize + 2);
    const Entry e{records.back().data()};
    Set(e, Field::CRC32, key);
    Set(e, Field::NameLength, nameLength);
    return e;
  }
  EntryNode* NewNode() { return &nodes.emplace_back(EntryNode{}); }

  // The content-list lookup: equal keys are passed, so the node goes after them.
  EntryNode* Insert(std::uint32_t key) {
    EntryNode* node = NewNode();
    LookupWithInsertion(list, *index, NewEntry(key), node, key, ContentKey,
                        [](EntryNode*) { return OnEqualKey::kContinue; });
    return node;
  }

  std::vector<std::uint32_t> Keys() const {
    std::vector<std::uint32_t> keys;
    for (EntryNode* n = list.first; n != nullptr; n = n->next) {
      keys.push_back(ContentKey(n->entry));
    }
    return keys;
  }

  // All four invariants, and the back links, checked from scratch.
  void ExpectInvariants() const {
    std::uint64_t count = 0;
    const EntryNode* prev = nullptr;
    std::vector<const EntryNode*> firstOfBucket(kBucketCount, nullptr);
    for (const EntryNode* n = list.first; n != nullptr; prev = n, n = n->next) {
      ASSERT_EQ(n->prev, prev);
      if (prev != nullptr) {
        ASSERT_LE(ContentKey(prev->entry), ContentKey(n->entry));
      }
      const std::uint32_t b = BucketOf(ContentKey(n->entry));
      if (firstOfBucket[b] == nullptr) {
        firstOfBucket[b] = n;
      }
      ++count;
    }
    EXPECT_EQ(list.last, prev);
    EXPECT_EQ(list.count, count);
    EXPECT_EQ(index->slots[0], list.first);
    for (std::size_t b = 1; b < kBucketCount; ++b) {
      ASSERT_EQ(index->slots[b], firstOfBucket[b]) << "bucket " << b;
    }
  }

  EntryList list{};
  std::unique_ptr<BucketIndex> index;
  std::deque<std::vector<std::byte>> records;
  std::deque<EntryNode> nodes;
};

TEST_F(ListTest, FirstInsertInNonZeroBucketFillsItsSlotAndSlotZero) {
  EntryNode* first = Insert(0x00050010u);
  EXPECT_EQ(index->slots[5], first);
  EXPECT_EQ(index->slots[0], first);
  EntryNode* greater = Insert(0x00050020u);  // same bucket, greater: after, slot unchanged
  EXPECT_EQ(first->next, greater);
  EXPECT_EQ(index->slots[5], first);
  EntryNode* equal = Insert(0x00050010u);  // equal to the first: between the two
  EXPECT_EQ(first->next, equal);
  EXPECT_EQ(equal->next, greater);
  ExpectInvariants();
}

TEST_F(ListTest, FirstInsertInBucketZeroSetsSlotZeroAlone) {
  EntryNode* node = Insert(0x0000FFFFu);
  EXPECT_EQ(index->slots[0], node);
  EXPECT_EQ(std::count(index->slots.begin(), index->slots.end(), nullptr), kBucketCount - 1);
}

TEST_F(ListTest, NewHeadMovesSlotZeroAndItsOwnBucket) {
  Insert(0x00070005u);
  EntryNode* sameBucketHead = Insert(0x00070001u);
  EXPECT_EQ(list.first, sameBucketHead);
  EXPECT_EQ(index->slots[7], sameBucketHead);
  EXPECT_EQ(index->slots[0], sameBucketHead);
  EntryNode* lowerHead = Insert(0x00030000u);
  EXPECT_EQ(list.first, lowerHead);
  EXPECT_EQ(index->slots[3], lowerHead);
  EXPECT_EQ(index->slots[0], lowerHead);
  EXPECT_EQ(index->slots[7], sameBucketHead);
  ExpectInvariants();
}

TEST_F(ListTest, StartNodeComesFromNearestLowerBucketOrHead) {
  EntryNode* head = Insert(0x00100000u);
  EntryNode* bucket20 = Insert(0x00200001u);
  Insert(0x00200002u);
  EXPECT_EQ(FindStartNode(*index, 0x00350000u), bucket20);  // empty bucket 0x35: nearest lower
  EXPECT_EQ(FindStartNode(*index, 0x00050000u), head);      // below every bucket: the head
  EXPECT_EQ(FindStartNode(*index, 0x0020FFFFu), bucket20);
}

TEST_F(ListTest, KeysZeroAndAllOnesSortUnsigned) {
  Insert(0x80000000u);
  Insert(0xFFFFFFFFu);
  Insert(0u);
  Insert(0x7FFFFFFFu);
  Insert(0xFFFFFFFFu);
  EXPECT_EQ(Keys(), (std::vector<std::uint32_t>{0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFFu}));
  EXPECT_EQ(ContentKey(index->slots[0xFFFF]->entry), 0xFFFFFFFFu);
  ExpectInvariants();
}

TEST_F(ListTest, EqualKeysStandInArrivalOrder) {
  Insert(0x12340000u);
  EntryNode* a = Insert(0x22220000u);
  EntryNode* b = Insert(0x22220000u);
  EntryNode* c = Insert(0x22220000u);
  Insert(0x33330000u);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(b->next, c);
  ExpectInvariants();
}

TEST_F(ListTest, StopOnEqualKeyLinksNothing) {
  Insert(0x00010001u);
  EntryNode* node = NewNode();
  int met = 0;
  EntryNode* stopped = LookupWithInsertion(list, *index, NewEntry(0x00010001u), node, 0x00010001u, ContentKey,
                                           [&](EntryNode*) { ++met; return OnEqualKey::kStop; });
  EXPECT_EQ(stopped, list.first);
  EXPECT_EQ(met, 1);
  EXPECT_EQ(list.count, 1u);
}

// Pseudo-random keys spread over few buckets, so that slots, heads and tails all move.
TEST_F(ListTest, RandomInsertionsKeepEveryInvariant) {
  std::uint32_t seed = 12345;
  for (int i = 0; i < 2000; ++i) {
    seed = seed * 1103515245u + 12345u;
    Insert((seed >> 8) % 0x00400000u);
  }
  ExpectInvariants();
}

TEST_F(ListTest, UnlinkOnlyHeadAndTail) {
  EntryNode* only = NewNode();
  PushBack(NewEntry(1), only, list);
  Unlink(only, list);
  EXPECT_EQ(list.first, nullptr);
  EXPECT_EQ(list.last, nullptr);
  EXPECT_EQ(list.count, 0u);

  EntryNode* a = NewNode();
  EntryNode* b = NewNode();
  EntryNode* c = NewNode();
  PushBack(NewEntry(1), a, list);
  PushBack(NewEntry(2), b, list);
  PushBack(NewEntry(3), c, list);
  Unlink(a, list);
  EXPECT_EQ(list.first, b);
  EXPECT_EQ(b->prev, nullptr);
  EXPECT_EQ(a->next, b);  // the unlinked node keeps its links
  Unlink(c, list);
  EXPECT_EQ(list.last, b);
  EXPECT_EQ(b->next, nullptr);
  EXPECT_EQ(list.count, 1u);
}

TEST_F(ListTest, PruneUnlinksAdjacentRemovedNodes) {
  const std::uint16_t kRemoved = 0;
  EntryNode* nodesInOrder[5];
  const std::uint16_t nameLengths[5] = {2, kRemoved, kRemoved, 2, kRemoved};
  for (int i = 0; i < 5; ++i) {
    nodesInOrder[i] = NewNode();
    PushBack(NewEntry(static_cast<std::uint32_t>(i), nameLengths[i]), nodesInOrder[i], list);
  }
  PruneRemoved(list);
  EXPECT_EQ(Keys(), (std::vector<std::uint32_t>{0, 3}));
  EXPECT_EQ(list.last, nodesInOrder[3]);
  EXPECT_EQ(list.count, 2u);
}

}  // namespace

namespace {

// A node leaves wherever it stands, and every slot stays true: the head (in bucket 0 and in
// another bucket), a bucket's first node with and without a successor in its bucket, a node inside
// a bucket, the tail, the only node, and nodes inside and at the end of the zero-key run.
TEST_F(ListTest, UnlinkIndexedKeepsEverySlotTrue) {
  const std::vector<std::uint32_t> keys = {0, 0, 0, 0x00050001u, 0x00050002u, 0x00070001u, 0x00090001u, 0x00090002u};
  struct Case {
    const char* why;
    std::vector<std::uint32_t> keys;
    std::size_t leaving;  // position in list order
  };
  const Case cases[] = {
      {"head, inside the zero run", keys, 0},
      {"inside the zero run", keys, 1},
      {"last of the zero run", keys, 2},
      {"first of its bucket, more follow", keys, 3},
      {"second of its bucket", keys, 4},
      {"alone in its bucket", keys, 5},
      {"the tail", keys, 7},
      {"head in a bucket other than 0", {0x00050001u, 0x00050002u, 0x00070001u}, 0},
      {"head alone in its bucket", {0x00050001u, 0x00070001u}, 0},
      {"the only node", {0x00070001u}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    SetUp();
    std::vector<EntryNode*> inserted;
    for (std::uint32_t key : c.keys) {
      inserted.push_back(Insert(key));
    }
    EntryNode* leaving = inserted[c.leaving];
    UnlinkIndexed(list, *index, leaving, c.keys[c.leaving], ContentKey);
    ExpectInvariants();
    EXPECT_EQ(list.count, c.keys.size() - 1);
    for (EntryNode* n = list.first; n != nullptr; n = n->next) {
      EXPECT_NE(n, leaving);
    }
    // The node is found where it stood before it left, and no longer afterwards.
    EXPECT_EQ(FindNode(list, *index, leaving->entry, c.keys[c.leaving], ContentKey), nullptr);
    if (c.keys.size() > 1) {
      EntryNode* other = inserted[c.leaving == 0 ? 1 : 0];
      EXPECT_EQ(FindNode(list, *index, other->entry, ContentKey(other->entry), ContentKey), other);
    }
  }
}

}  // namespace
