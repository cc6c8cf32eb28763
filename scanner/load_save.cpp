#include "scanner/load_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "scanner/database_lock.h"
#include "scanner/run_state.h"
#include "store/byte_order.h"
#include "store/database_format.h"
#include "store/handles.h"
#include "store/owned.h"

namespace {

// What a load keeps until the process ends: the file image, whose records are the loaded entries,
// and one block of nodes per list.
struct LoadedDatabase {
  FileImage image;
  Owned<std::byte[]> pathNodes;
  Owned<std::byte[]> contentNodes;
};
LoadedDatabase& Loaded() {
  static LoadedDatabase loaded;
  return loaded;
}

EntryNode* NodeBlock(Owned<std::byte[]>& keeper, std::uint32_t count) {
  keeper = ZeroedBytes(std::size_t{count} * sizeof(EntryNode));
  return reinterpret_cast<EntryNode*>(keeper.get());
}

// A content order out of ascending CRC32 (written before refreshed entries were moved to their
// new key, or by another writer) would make lookups stop before an equal key and hide neighbours
// of equal content from the purge and the dump; it is taken back sorted, equal keys in their
// stored order. One pass tells whether there is anything to do, so an ordered file costs no more.
void SortByContentKey(EntryNode* nodes, std::uint32_t count) {
  auto byKey = [](const EntryNode& a, const EntryNode& b) { return ContentKey(a.entry) < ContentKey(b.entry); };
  if (!std::is_sorted(nodes, nodes + count, byKey)) {
    std::stable_sort(nodes, nodes + count, byKey);
  }
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
  SortByContentKey(contentNodes, layout->contentCount);
  for (std::uint32_t j = 0; j < layout->contentCount; ++j) {
    const Entry entry = contentNodes[j].entry;
    AppendIndexed(ContentList, ContentIndex, entry, &contentNodes[j], ContentKey(entry));
  }
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

// The serialised tables and header, assembled in memory; the records are written from the entries.
std::vector<std::byte> HeaderAndTables() {
  std::vector<std::byte> bytes(kDatabaseHeaderSize + 4 * (PathList.count + ContentList.count));
  StoreLE(bytes.data(), kDatabaseMagic);
  bytes[4] = std::byte{kDatabaseVersion};
  StoreLE(bytes.data() + kPathCountOffset, static_cast<std::uint32_t>(PathList.count));
  StoreLE(bytes.data() + kContentCountOffset, static_cast<std::uint32_t>(ContentList.count));
  std::byte* at = bytes.data() + kDatabaseHeaderSize;
  for (const EntryList* list : {&PathList, &ContentList}) {
    for (const EntryNode* node = list->first; node != nullptr; node = node->next, at += 4) {
      StoreLE(at, Get(node->entry, Field::RecordOffset));
    }
  }
  return bytes;
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

bool WriteDatabase(std::FILE* file) {
  if (!AssignOffsets()) {
    return false;
  }
  const std::vector<std::byte> tables = HeaderAndTables();
  if (std::fwrite(tables.data(), tables.size(), 1, file) != 1) {
    return false;
  }
  for (const EntryNode* node = PathList.first; node != nullptr; node = node->next) {
    if (std::fwrite(node->entry.Bytes, RecordSize(Get(node->entry, Field::NameLength)), 1, file) != 1) {
      return false;
    }
  }
  return true;
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
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    (void)close(fd);
    (void)unlink(temporary.c_str());
    return false;
  }
  static char buffer[1 << 20];
  (void)std::setvbuf(file, buffer, _IOFBF, sizeof buffer);  // fewer, larger writes; optional

  PruneRemoved(PathList);
  PruneRemoved(ContentList);
  bool written = WriteDatabase(file) && std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  written = std::fclose(file) == 0 && written;
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
