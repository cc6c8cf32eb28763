#include "scanner/load_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "scanner/database_lock.h"
#include "scanner/file_compare.h"
#include "scanner/run_state.h"
#include "store/byte_order.h"
#include "store/database_format.h"
#include "store/handles.h"
#include "store/large_bytes.h"

namespace {

// What a load keeps until the process ends: the file image, whose records are the loaded entries,
// and one block of nodes per list.
struct LoadedDatabase {
  FileImage image;
  LargeBytes pathNodes;
  LargeBytes contentNodes;
};
LoadedDatabase& Loaded() {
  static LoadedDatabase loaded;
  return loaded;
}

EntryNode* NodeBlock(LargeBytes& keeper, std::uint32_t count) {
  keeper = LargeZeroedBytes(std::size_t{count} * sizeof(EntryNode));
  return reinterpret_cast<EntryNode*>(keeper.get());
}

// Links nodes[0..count) at the tail of ContentList in array order, each on the entry it holds.
// False when their keys do not ascend.
bool AppendContentNodes(EntryNode* nodes, std::uint32_t count) {
  // The records lie in path order, so each key read here is a cache miss of its own; asking for a
  // few keys ahead lets those misses overlap.
  constexpr std::uint32_t kAhead = 32;
  bool ascending = true;
  std::uint32_t previousKey = 0;
  for (std::uint32_t j = 0; j < count; ++j) {
    if (j + kAhead < count) {
      __builtin_prefetch(nodes[j + kAhead].entry.Bytes + Field::CRC32.Offset);
    }
    const Entry entry = nodes[j].entry;
    const std::uint32_t key = ContentKey(entry);
    ascending = ascending && key >= previousKey;
    previousKey = key;
    AppendIndexed(ContentList, ContentIndex, entry, &nodes[j], key);
  }
  return ascending;
}

// A content order out of ascending CRC32 (left by a refresh in place, or by another writer)
// would make lookups stop before an equal key and hide neighbours of equal content from the purge
// and the dump; it is taken back sorted, equal keys in their stored order. Linking in table order
// tells whether there is anything to do, so an ordered file costs no more than that.
void LinkContentNodes(EntryNode* nodes, std::uint32_t count) {
  if (AppendContentNodes(nodes, count)) {
    return;
  }
  ClearList(ContentList);
  ClearIndex(ContentIndex);
  std::stable_sort(nodes, nodes + count,
                   [](const EntryNode& a, const EntryNode& b) { return ContentKey(a.entry) < ContentKey(b.entry); });
  (void)AppendContentNodes(nodes, count);  // ascending now
}

}  // namespace

bool LoadDatabaseImage(std::byte* image, std::size_t size) {
  const std::span<std::byte> bytes(image, size);
  const std::optional<DatabaseLayout> layout = CheckConsistent(bytes);
  if (!layout) {
    return false;
  }
  EntryNode* pathNodes = NodeBlock(Loaded().pathNodes, layout->pathCount);
  EntryNode* contentNodes = NodeBlock(Loaded().contentNodes, layout->contentCount);
  if (pathNodes == nullptr || contentNodes == nullptr) {
    return false;
  }
  // Appending in table order gives back each list in its saved order; slot 0 then takes the head.
  for (std::uint32_t i = 0; i < layout->pathCount; ++i) {
    const Entry entry{image + layout->PathOffset(bytes, i)};
    AppendIndexed(PathList, PathIndex, entry, &pathNodes[i], PathKey(entry));
  }
  PathIndex.slots[0] = PathList.first;
  for (std::uint32_t j = 0; j < layout->contentCount; ++j) {
    contentNodes[j].entry = Entry{image + layout->ContentOffset(bytes, j)};
  }
  LinkContentNodes(contentNodes, layout->contentCount);
  ContentIndex.slots[0] = ContentList.first;
  return true;
}

LoadResult LoadDatabase(const char* loadName) {
  FileImage image = ReadFileImage(loadName);
  switch (image.status) {
    case ImageRead::kMissing:
    case ImageRead::kEmpty:
      return LoadResult::kNone;
    case ImageRead::kUnreadable:
      return LoadResult::kInvalid;
    case ImageRead::kRead:
      break;
  }
  if (!LoadDatabaseImage(image.bytes.get(), image.size)) {
    return LoadResult::kInvalid;
  }
  Loaded().image = std::move(image);
  return LoadResult::kLoaded;
}

namespace {

// Writes all of bytes to fd, however the system splits it; false on any failure.
bool WriteAll(int fd, const std::byte* bytes, std::size_t length) {
  while (length != 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// The database file being written: pieces large enough go to the system as they are, small ones
// are gathered first, so a save makes few, large writes whatever the records' places in memory.
constexpr std::size_t kGatherSize = std::size_t{4} << 20;
struct OutputFile {
  int fd = -1;
  LargeBytes gathered = LargeZeroedBytes(kGatherSize);
  std::size_t used = 0;
  bool ok = gathered != nullptr;
};

void Flush(OutputFile& out) {
  out.ok = out.ok && WriteAll(out.fd, out.gathered.get(), out.used);
  out.used = 0;
}

void Put(OutputFile& out, const std::byte* bytes, std::size_t length) {
  const bool direct = length >= kGatherSize / 4;
  if (direct || out.used + length > kGatherSize) {
    Flush(out);  // what was gathered goes first
  }
  if (direct) {
    out.ok = out.ok && WriteAll(out.fd, bytes, length);
    return;
  }
  std::memcpy(out.gathered.get() + out.used, bytes, length);
  out.used += length;
}

// The header and both tables, assembled in memory.
void PutHeaderAndTables(OutputFile& out) {
  const std::size_t size = kDatabaseHeaderSize + 4 * (PathList.count + ContentList.count);
  const LargeBytes bytes = LargeZeroedBytes(size);
  if (bytes == nullptr) {
    out.ok = false;
    return;
  }
  StoreLE(bytes.get(), kDatabaseMagic);
  bytes[4] = std::byte{kDatabaseVersion};
  StoreLE(bytes.get() + kPathCountOffset, static_cast<std::uint32_t>(PathList.count));
  StoreLE(bytes.get() + kContentCountOffset, static_cast<std::uint32_t>(ContentList.count));
  std::byte* at = bytes.get() + kDatabaseHeaderSize;
  for (const EntryList* list : {&PathList, &ContentList}) {
    for (const EntryNode* node = list->first; node != nullptr; node = node->next, at += 4) {
      StoreLE(at, Get(node->entry, Field::RecordOffset));
    }
  }
  Put(out, bytes.get(), size);
}

// The records in path order. Loaded records that follow each other in path order also follow
// each other in the image, so they go out as one piece.
void PutRecords(OutputFile& out) {
  const std::byte* run = nullptr;
  std::size_t runLength = 0;
  for (const EntryNode* node = PathList.first; node != nullptr; node = node->next) {
    const std::byte* record = node->entry.Bytes;
    const std::size_t size = RecordSize(Get(node->entry, Field::NameLength));
    if (run != nullptr && run + runLength == record) {
      runLength += size;
      continue;
    }
    if (run != nullptr) {
      Put(out, run, runLength);
    }
    run = record;
    runLength = size;
  }
  if (run != nullptr) {
    Put(out, run, runLength);
  }
}

// Gives every record its offset in the file to be written; false when the file would not fit the
// format's 32-bit offsets and counts.
bool AssignOffsets() {
  std::uint64_t offset = kDatabaseHeaderSize + 4 * (PathList.count + ContentList.count);
  for (const EntryNode* node = PathList.first; node != nullptr; node = node->next) {
    offset += RecordSize(Get(node->entry, Field::NameLength));
  }
  if (offset > UINT32_MAX) {
    return false;
  }
  offset = kDatabaseHeaderSize + 4 * (PathList.count + ContentList.count);
  for (const EntryNode* node = PathList.first; node != nullptr; node = node->next) {
    Set(node->entry, Field::RecordOffset, static_cast<std::uint32_t>(offset));
    offset += RecordSize(Get(node->entry, Field::NameLength));
  }
  return true;
}

bool WriteDatabase(int fd) {
  if (!AssignOffsets()) {
    return false;
  }
  OutputFile out;
  out.fd = fd;
  PutHeaderAndTables(out);
  PutRecords(out);
  Flush(out);
  return out.ok;
}

// A new file gets the permissions fopen would give it; a replaced one keeps its own and, where
// the system allows, its owner.
void CopyPermissions(int fd, const std::string& target) {
  struct stat old {};
  if (stat(target.c_str(), &old) == 0) {
    (void)fchmod(fd, old.st_mode & 07777);
    (void)fchown(fd, old.st_uid, old.st_gid);  // best effort: only root may give a file away
    return;
  }
  const mode_t mask = umask(0);
  umask(mask);
  (void)fchmod(fd, 0666 & ~mask);
}

}  // namespace

bool SaveDatabase(const char* saveName) {
  if (PathList.count == 0) {
    return true;  // nothing to save: an existing file stays untouched
  }
  const std::string target = DatabaseTarget(saveName);
  std::string temporary = target + kTemporarySuffix;
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    return false;
  }
  CopyPermissions(fd, target);
  // Every entry is in PathList, so when none of it was removed, ContentList holds none either.
  if (PruneRemoved(PathList) != 0) {
    PruneRemoved(ContentList);
  }
  bool written = WriteDatabase(fd) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), target.c_str()) != 0) {
    (void)unlink(temporary.c_str());  // the old database is untouched
    return false;
  }
  // Make the rename itself durable; a failure here leaves the new file in place all the same.
  const Fd directory(open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Valid()) {
    (void)fsync(directory.Get());
  }
  return true;
}
