#include "scanner/entry_list.h"

void PushFront(Entry entry, EntryNode* node, EntryList& list) {
  node->entry = entry;
  node->next = list.first;
  node->prev = nullptr;
  if (list.last == nullptr) {
    list.last = node;
  } else {
    list.first->prev = node;
  }
  list.first = node;
  ++list.count;
}

void PushBack(Entry entry, EntryNode* node, EntryList& list) {
  node->entry = entry;
  node->next = nullptr;
  node->prev = list.last;
  if (list.last != nullptr) {
    list.last->next = node;
  } else {
    list.first = node;
  }
  list.last = node;
  ++list.count;
}

void InsertBefore(EntryNode* pos, Entry entry, EntryNode* node, EntryList& list) {
  if (pos == list.first) {
    PushFront(entry, node, list);
    return;
  }
  node->entry = entry;
  node->prev = pos->prev;
  node->prev->next = node;
  pos->prev = node;
  node->next = pos;
  ++list.count;
}

void Unlink(EntryNode* node, EntryList& list) {
  if (node->next != nullptr) {
    node->next->prev = node->prev;
  } else {
    list.last = node->prev;
  }
  if (node->prev != nullptr) {
    node->prev->next = node->next;
  } else {
    list.first = node->next;
  }
  --list.count;
}

void ClearList(EntryList& list) { list = EntryList{nullptr, nullptr, 0}; }

void ClearIndex(BucketIndex& index) { index.slots.fill(nullptr); }

EntryNode* FindStartNode(const BucketIndex& index, std::uint32_t key) {
  std::uint32_t b = BucketOf(key);
  while (index.slots[b] == nullptr && b != 0) {
    --b;
  }
  return index.slots[b];
}

void InsertFirst(EntryList& list, BucketIndex& index, Entry entry, EntryNode* node, std::uint32_t key) {
  PushFront(entry, node, list);
  index.slots[BucketOf(key)] = node;
  index.slots[0] = node;
}

void InsertBeforeIndexed(EntryList& list, BucketIndex& index, EntryNode* pos, Entry entry, EntryNode* node,
                         std::uint32_t key) {
  InsertBefore(pos, entry, node, list);
  EntryNode*& slot = index.slots[BucketOf(key)];
  if (slot == nullptr || slot == pos) {
    slot = node;
  }
  if (list.first == node) {
    index.slots[0] = node;
  }
}

void AppendIndexed(EntryList& list, BucketIndex& index, Entry entry, EntryNode* node, std::uint32_t key) {
  PushBack(entry, node, list);
  EntryNode*& slot = index.slots[BucketOf(key)];
  if (slot == nullptr) {
    slot = node;
  }
}

void UnlinkIndexed(EntryList& list, BucketIndex& index, EntryNode* node, std::uint32_t key,
                   std::uint32_t (*keyOf)(Entry)) {
  Unlink(node, list);
  EntryNode*& slot = index.slots[BucketOf(key)];
  if (slot == node) {
    EntryNode* next = node->next;
    slot = next != nullptr && BucketOf(keyOf(next->entry)) == BucketOf(key) ? next : nullptr;
  }
  index.slots[0] = list.first;
}

EntryNode* FindNode(const EntryList& list, const BucketIndex& index, Entry entry, std::uint32_t key,
                    std::uint32_t (*keyOf)(Entry)) {
  if (list.count == 0) {
    return nullptr;
  }
  for (EntryNode* cur = FindStartNode(index, key); cur != nullptr && keyOf(cur->entry) <= key; cur = cur->next) {
    if (cur->entry.Bytes == entry.Bytes) {
      return cur;
    }
  }
  return nullptr;
}

std::uint64_t PruneRemoved(EntryList& list) {
  std::uint64_t removed = 0;
  for (EntryNode* node = list.first; node != nullptr; node = node->next) {
    if (Get(node->entry, Field::NameLength) == 0) {
      Unlink(node, list);
      ++removed;
    }
  }
  return removed;
}
