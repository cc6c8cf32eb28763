#include "scanner/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "scanner/arena.h"
#include "scanner/content.h"
#include "scanner/hash_lanes.h"
#include "scanner/run_state.h"
#include "store/crc32.h"
#include "store/handles.h"

namespace {

// Absolute paths are built here: the current directory's path, then "/" and a name. One buffer
// serves the whole walk; each level appends its component and cuts it off again on the way back.
constexpr std::size_t kPathBufferSize = 5000;
char PathBuffer[kPathBufferSize];

// The longest path recorded, NUL included. A recorded path must still work when it is used whole
// (to see whether a known file exists, to compare or delete it), so it stays within what the
// system accepts as one path.
#ifdef PATH_MAX
constexpr std::size_t kLongestPath = PATH_MAX < kPathBufferSize ? PATH_MAX : kPathBufferSize;
#else
constexpr std::size_t kLongestPath = kPathBufferSize;
#endif

struct Directory {
  std::size_t pathLength;       // of the directory's own path in PathBuffer
  std::uint32_t prefixCRC;      // running CRC over "path/", shared by every file here
};

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Appends "/name" to the directory path at `length`; false (and nothing written) if the result
// and its NUL would be longer than a path may be.
bool AppendName(std::size_t length, const char* name, std::size_t nameLength) {
  if (length + 1 + nameLength + 1 > kLongestPath) {
    return false;
  }
  PathBuffer[length] = '/';
  std::memcpy(PathBuffer + length + 1, name, nameLength + 1);
  return true;
}

Directory Enter(std::size_t pathLength) {
  std::uint32_t running = kCrc32Start;
  Crc32Update(running, PathBuffer, static_cast<std::uint32_t>(pathLength));
  Crc32Update(running, "/", 1);
  return Directory{pathLength, running};
}

// A directory being read, and the hold that its queued files share, taken at the first of them.
struct OpenDirectory {
  DIR* stream;
  DirectoryHold* hold = nullptr;
};

DirectoryHold* HoldFor(OpenDirectory& here) {
  if (here.hold == nullptr) {
    const int fd = fcntl(dirfd(here.stream), F_DUPFD_CLOEXEC, 0);
    here.hold = fd >= 0 ? HoldDirectory(fd) : nullptr;
  }
  return here.hold;
}

// Hands a new or modified file on to be hashed and committed in walk order.
void Queue(OpenDirectory& here, Entry entry, Reconciled outcome, const char* name, const struct stat& status) {
  DirectoryHold* hold = HoldFor(here);
  if (hold == nullptr) {
    FinishHashLanes();  // out of descriptors: every queued file gives its own back
    hold = HoldFor(here);
  }
  if (hold == nullptr) {
    CommitContent(entry, outcome, std::nullopt, -1, name);  // as a file that cannot be opened
    return;
  }
  QueueFile(entry, outcome, hold, name, static_cast<std::uint64_t>(status.st_size));
}

void HandleRegularFile(const Directory& dir, OpenDirectory& here, const char* name, const struct stat& status) {
  const std::size_t nameChars = std::strlen(name);
  if (!AppendName(dir.pathLength, name, nameChars)) {
    return;  // a path that cannot be built is not recorded
  }
  const auto nameLength = static_cast<std::uint16_t>(dir.pathLength + 1 + nameChars + 1);
  std::uint32_t running = dir.prefixCRC;
  Crc32Update(running, name, static_cast<std::uint32_t>(nameChars + 1));
  const std::uint32_t pathCRC = running ^ kCrc32Final;
  const char* path = PathBuffer;

  // The entry and its node are built before the lookup and given back if the path is known.
  const std::size_t blockSize = sizeof(EntryNode) + RecordSize(nameLength);
  auto* block = static_cast<std::byte*>(RunAllocate(blockSize));
  if (block == nullptr) {
    PathBuffer[dir.pathLength] = '\0';
    return;
  }
  auto* node = reinterpret_cast<EntryNode*>(block);
  const Entry entry{block + sizeof(EntryNode)};
  const FileStatus fileStatus{static_cast<std::uint64_t>(status.st_size), static_cast<std::int64_t>(status.st_ctime),
                              static_cast<std::int64_t>(status.st_mtime)};
  FillNewEntry(entry, path, nameLength, pathCRC, fileStatus);

  // Equal PathCRC is no proof of an equal path: only the same bytes are the same path. Another
  // path with that CRC is passed like a greater key, so the new entry lands after it.
  EntryNode* known = LookupWithInsertion(PathList, PathIndex, entry, node, pathCRC, PathKey, [&](EntryNode* cur) {
    return std::strcmp(FileNameOf(cur->entry), path) == 0 ? OnEqualKey::kStop : OnEqualKey::kContinue;
  });
  if (known == nullptr) {
    Queue(here, entry, Reconciled::kNew, name, status);
  } else if (std::memcmp(known->entry.Bytes + kStatusBlockOffset, entry.Bytes + kStatusBlockOffset,
                         kStatusBlockSize) == 0) {
    RunReleaseLast(block, blockSize);  // unchanged: never opened
  } else {
    const Entry stored = known->entry;
    WriteStatus(stored, fileStatus, nameLength);  // reported when its content is committed
    RunReleaseLast(block, blockSize);
    Queue(here, stored, Reconciled::kModified, name, status);
  }
  PathBuffer[dir.pathLength] = '\0';
}

void WalkOpenDirectory(DIR* stream, const Directory& dir);

// Opens a subdirectory through its parent's descriptor and walks it. A symbolic link is never
// entered (O_NOFOLLOW, on the name as it is at the open): no walking out of the tree, no cycles.
// The working directory never changes: every name is reached through its directory's descriptor,
// so there is no way back up that could lead anywhere else.
void Descend(DIR* parent, const Directory& dir, const char* name) {
  const std::size_t nameChars = std::strlen(name);
  const bool atRoot = dir.pathLength == 1 && PathBuffer[0] == '/';
  const std::size_t base = atRoot ? 0 : dir.pathLength;  // "/" + "/name" would be "//name"
  if (!AppendName(base, name, nameChars)) {
    return;  // nothing below could be recorded
  }
  Fd fd(openat(dirfd(parent), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  DIR* stream = fd.Valid() ? fdopendir(fd.Get()) : nullptr;
  if (stream != nullptr) {
    (void)fd.Release();  // the stream owns it now
    const DirHandle child(stream);
    WalkOpenDirectory(stream, Enter(base + 1 + nameChars));
  }
  PathBuffer[dir.pathLength] = '\0';
  if (atRoot) {
    PathBuffer[0] = '/';
  }
}

void WalkOpenDirectory(DIR* stream, const Directory& dir) {
  const int directory = dirfd(stream);
  OpenDirectory here{stream};
  while (const dirent* item = readdir(stream)) {
    const char* name = item->d_name;
    if (IsDotOrDotDot(name)) {
      continue;  // by name: streams need not yield them first
    }
#ifdef DT_DIR
    if (item->d_type == DT_DIR) {
      Descend(stream, dir, name);
      continue;
    }
#endif
    struct stat status {};
    if (fstatat(directory, name, &status, 0) != 0) {
      continue;  // vanished, dangling link, or no permission
    }
    if (S_ISREG(status.st_mode)) {
      HandleRegularFile(dir, here, name, status);
    } else if (S_ISDIR(status.st_mode)) {
      Descend(stream, dir, name);  // a link to a directory is refused there
    }  // FIFOs, sockets and devices are never opened
  }
  if (here.hold != nullptr) {
    ReleaseDirectory(here.hold);  // queued files of this directory keep their own holds
  }
}

}  // namespace

void ScanDirectory() {
  if (getcwd(PathBuffer, kPathBufferSize) == nullptr) {
    return;  // no path can be built for anything below
  }
  DIR* stream = opendir(".");
  if (stream == nullptr) {
    return;
  }
  const DirHandle owner(stream);
  WalkOpenDirectory(stream, Enter(std::strlen(PathBuffer)));
  FinishHashLanes();
}
