#include "scanner/content.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "scanner/arena.h"
#include "scanner/deletion.h"
#include "scanner/file_compare.h"
#include "scanner/run_state.h"

namespace {

bool SameMD5(Entry a, Entry b) { return std::memcmp(a.Bytes + kMD5Offset, b.Bytes + kMD5Offset, kMD5Size) == 0; }

// Whether a known entry of the same content, from `node` on, names the file `fresh` holds: the
// new path is then only another way to a known file (a linked or mounted directory).
bool KnownUnderAnotherPath(const EntryNode* node, Entry entry, const HeldName& fresh) {
  const std::uint32_t key = Get(entry, Field::CRC32);
  for (; node != nullptr && Get(node->entry, Field::CRC32) == key; node = node->next) {
    const Entry known = node->entry;
    HeldName held;
    if (Get(known, Field::NameLength) != 0 && SameMD5(known, entry) &&
        Get(known, Field::SIZE) == Get(entry, Field::SIZE) && HoldPath(FileNameOf(known), held, HoldFor::kTelling) &&
        SameFile(held, fresh)) {
      return true;
    }
  }
  return false;
}

// Links a node for `entry` where a new entry with its key goes: after every equal key, with no
// duplicate search on the way.
void LinkByContent(Entry entry, EntryNode* node) {
  const std::uint32_t key = Get(entry, Field::CRC32);
  (void)LookupWithInsertion(
      ContentList, ContentIndex, entry, node, key, ContentKey, [](EntryNode*) { return OnEqualKey::kContinue; },
      key == 0 ? ContentZeroTail : nullptr);
  if (key == 0) {
    ContentZeroTail = node;
  }
}

// A modified entry gets the checksums of its content as it is now, or none when it cannot be
// read, and its ContentList node moves to where that content belongs, so that every lookup still
// meets it. Content that did not change keeps its place: of two equal files the one known first
// stays first.
void RefreshContent(Entry entry, const std::optional<ContentChecksums>& sums) {
  const std::uint32_t oldKey = Get(entry, Field::CRC32);
  EntryNode* node = FindNode(ContentList, ContentIndex, entry, oldKey, ContentKey);
  const ContentChecksums now = sums.value_or(ContentChecksums{});  // unknown: CRC32 0, MD5 all zero
  Set(entry, Field::CRC32, now.crc);
  StoreDigest(entry, now.digest);
  if (node != nullptr && sums && now.crc == oldKey) {
    return;
  }
  if (node != nullptr) {
    if (node == ContentZeroTail) {
      EntryNode* before = node->prev;
      ContentZeroTail = before != nullptr && ContentKey(before->entry) == 0 ? before : nullptr;
    }
    UnlinkIndexed(ContentList, ContentIndex, node, oldKey, ContentKey);
  }
  if (!sums) {
    return;  // nothing known of the content: it stays out of ContentList
  }
  if (node == nullptr) {
    node = static_cast<EntryNode*>(RunAllocate(sizeof(EntryNode)));
    if (node == nullptr) {
      return;  // no memory: the entry stays in PathList only
    }
  }
  LinkByContent(entry, node);
}

}  // namespace

void CommitContent(Entry entry, Reconciled outcome, const std::optional<ContentChecksums>& sums, int directory,
                   const char* bareName) {
  if (outcome == Reconciled::kModified) {
    if (!Quiet) {
      std::printf("'%s' got modified - updating db entry - no scan for dupe in list done!\n", FileNameOf(entry));
    }
    RefreshContent(entry, sums);
    return;
  }
  if (!sums) {
    return;  // could not be opened: no checksums, outside ContentList
  }
  Set(entry, Field::CRC32, sums->crc);
  StoreDigest(entry, sums->digest);
  MatchContent(entry, directory, bareName);
}

namespace {

// One new entry's lookup among the known entries of its key, and what it has learnt so far.
struct Lookup {
  Entry entry;
  int directory;
  const char* bareName;
  bool found = false;         // a duplicate was reported: later equal entries are passed over
  bool aliasOfKnown = false;  // a candidate met so far is this very file under another path
};

// The duplicate test against one candidate of equal key: a gone candidate is reported and
// marked; an existing other file of equal content is a duplicate, reported and, with
// DeleteNewDupes, deleted once confirmed. kStop only after a deletion.
OnEqualKey JudgeCandidate(Lookup& lookup, EntryNode* candidate) {
  const Entry entry = lookup.entry;
  const Entry known = candidate->entry;
  if (Get(entry, Field::CRC32) == 0 || lookup.found || !SameMD5(known, entry) ||
      Get(known, Field::SIZE) != Get(entry, Field::SIZE)) {
    return OnEqualKey::kContinue;
  }
  // Both names as they are now: the same file reached twice is no copy of itself. Their files
  // are opened only when they may be compared for a deletion. A known name that cannot be held is
  // gone when its path leads nowhere (held, it exists: no look needed).
  const HoldFor purpose = DeleteNewDupes ? HoldFor::kReading : HoldFor::kTelling;
  HeldName kept;
  if (!HoldPath(FileNameOf(known), kept, purpose)) {
    struct stat knownStatus {};
    if (stat(FileNameOf(known), &knownStatus) != 0) {
      std::printf("'%s' is gone - DELETING OUT OF DB\n", FileNameOf(known));  // even when quiet
      Set(known, Field::NameLength, 0);
    }
    return OnEqualKey::kContinue;
  }
  HeldName fresh;
  if (!HoldName(lookup.directory, lookup.bareName, fresh, purpose)) {
    return OnEqualKey::kContinue;
  }
  if (SameFile(kept, fresh)) {
    lookup.aliasOfKnown = true;
    return OnEqualKey::kContinue;
  }
  // A new path that is also a known file's path is never deleted, whatever else it equals.
  if (!DeleteNewDupes || lookup.aliasOfKnown || KnownUnderAnotherPath(candidate->next, entry, fresh)) {
    ++DupeCount;
    lookup.found = true;
    if (!Quiet) {
      std::printf("'%s' IS a DUPE with '%s'\n", FileNameOf(entry), FileNameOf(known));
    }
    return OnEqualKey::kContinue;
  }
  if (ConfirmDuplicate(kept, fresh) != Confirmation::kConfirmed) {
    return OnEqualKey::kContinue;  // not the same bytes: no duplicate of this one
  }
  switch (DeleteConfirmed(fresh, FileNameOf(entry))) {
    case Deletion::kDeleted:
      ++DupeCount;
      if (!Quiet) {
        std::printf("'%s' IS a DUPE with '%s' - DELETED\n", FileNameOf(entry), FileNameOf(known));
      }
      return OnEqualKey::kStop;  // the file is gone: its entry stays out of ContentList
    case Deletion::kChanged:
      return OnEqualKey::kContinue;  // no longer what was compared: kept, not counted
    case Deletion::kFailed:
      break;
  }
  ++DupeCount;
  if (!Quiet) {
    std::printf("'%s' IS a DUPE with '%s' - UNABLE TO DELETE\n", FileNameOf(entry), FileNameOf(known));
  }
  lookup.found = true;  // still there: it joins ContentList like a kept duplicate
  return OnEqualKey::kContinue;
}

}  // namespace

void MatchContent(Entry entry, int directory, const char* bareName) {
  auto* node = static_cast<EntryNode*>(RunAllocate(sizeof(EntryNode)));
  if (node == nullptr) {
    return;  // no memory: the entry stays in PathList only and is never matched
  }
  const std::uint32_t key = Get(entry, Field::CRC32);
  Lookup lookup{entry, directory, bareName};
  // Stops early only at a duplicate that was deleted; its node then stays unused.
  (void)LookupWithInsertion(
      ContentList, ContentIndex, entry, node, key, ContentKey,
      [&](EntryNode* candidate) { return JudgeCandidate(lookup, candidate); }, key == 0 ? ContentZeroTail : nullptr);
  if (key == 0) {
    ContentZeroTail = node;
  }
}
