#include "scanner/content.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scanner/arena.h"
#include "scanner/run_state.h"
#include "store/crc32.h"
#include "store/handles.h"
#include "store/md5.h"

namespace {

// Reads exactly `length` bytes unless the file ends or fails first.
bool ReadFully(int fd, std::byte* into, std::size_t length) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = read(fd, into + got, length - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Opens a file for reading without blocking: a FIFO or device swapped in since the walk looked at
// the name cannot hang the run, and is refused.
Fd OpenRegular(const char* name, struct stat& status) {
  Fd fd(open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Valid() && (fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode))) {
    fd.Reset(-1);
  }
  return fd;
}

// True when both files hold the same bytes, read afresh: the last check before a deletion, so that
// neither a checksum collision nor a change since hashing can cost the only copy.
bool SameBytes(const char* keptPath, const char* bareName) {
  struct stat keptStatus {};
  struct stat dupeStatus {};
  const Fd kept = OpenRegular(keptPath, keptStatus);
  const Fd dupe = OpenRegular(bareName, dupeStatus);
  if (!kept.Valid() || !dupe.Valid() || keptStatus.st_size != dupeStatus.st_size) {
    return false;
  }
  static std::byte other[kReadBufferSize];
  auto left = static_cast<std::uint64_t>(keptStatus.st_size);
  while (left != 0) {
    const std::size_t piece = left < kReadBufferSize ? static_cast<std::size_t>(left) : kReadBufferSize;
    if (!ReadFully(kept.Get(), ReadBuffer, piece) || !ReadFully(dupe.Get(), other, piece) ||
        std::memcmp(ReadBuffer, other, piece) != 0) {
      return false;
    }
    left -= piece;
  }
  // Neither may hold more than the size said, or the comparison saw only part of one.
  std::byte probe[1];
  return read(kept.Get(), probe, 1) == 0 && read(dupe.Get(), probe, 1) == 0;
}

bool SameMD5(Entry a, Entry b) { return std::memcmp(a.Bytes + kMD5Offset, b.Bytes + kMD5Offset, kMD5Size) == 0; }

// The candidate's path leads to the very file being judged (a symbolic link met earlier, a second
// mount): not a second copy, whatever the checksums say. Hard links are separate names and stay
// duplicates.
bool SameFile(const struct stat& candidate, const struct stat& file) {
  return candidate.st_dev == file.st_dev && candidate.st_ino == file.st_ino && candidate.st_nlink == 1;
}

}  // namespace

std::optional<ContentChecksums> HashFile(const char* bareName, std::uint64_t size) {
  struct stat opened {};
  const Fd fd = OpenRegular(bareName, opened);
  if (!fd.Valid()) {
    return std::nullopt;
  }
  TotalBytes += size;
#ifdef POSIX_FADV_SEQUENTIAL
  if (size > kReadBufferSize * 4) {
    (void)posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint; reading works without it
  }
#endif
  std::uint32_t running = kCrc32Start;
  MD5_CTX md5;
  MD5Init(md5);
  for (std::uint64_t left = size; left != 0;) {
    const auto piece = static_cast<std::uint32_t>(left < kReadBufferSize ? left : kReadBufferSize);
    if (!ReadFully(fd.Get(), ReadBuffer, piece)) {
      running = kCrc32Start;  // the content is unknown: start over and stop
      MD5Init(md5);
      break;
    }
    Crc32Update(running, ReadBuffer, piece);
    MD5Update(md5, ReadBuffer, piece);
    left -= piece;
  }
  ContentChecksums sums;
  sums.crc = running ^ kCrc32Final;
  MD5Final(sums.digest, md5);
  return sums;
}

void HashAndMatch(Entry entry, Reconciled outcome, const char* bareName, const struct stat& status) {
  const std::optional<ContentChecksums> sums = HashFile(bareName, static_cast<std::uint64_t>(status.st_size));
  if (!sums) {
    return;
  }
  Set(entry, Field::CRC32, sums->crc);
  StoreDigest(entry, sums->digest);
  if (outcome == Reconciled::kNew) {
    MatchContent(entry, bareName, status);
  }
}

void MatchContent(Entry entry, const char* bareName, const struct stat& status) {
  auto* node = static_cast<EntryNode*>(RunAllocate(sizeof(EntryNode)));
  if (node == nullptr) {
    return;  // no memory: the entry stays in PathList only and is never matched
  }
  const std::uint32_t key = Get(entry, Field::CRC32);
  const std::uint32_t size = Get(entry, Field::SIZE);
  bool found = false;
  // Stops early only at a duplicate that was deleted; its node then stays unused.
  (void)LookupWithInsertion(
      ContentList, ContentIndex, entry, node, key, ContentKey, [&](EntryNode* candidate) {
        const Entry known = candidate->entry;
        if (key == 0 || found || !SameMD5(known, entry) || Get(known, Field::SIZE) != size) {
          return OnEqualKey::kContinue;
        }
        struct stat knownStatus {};
        if (stat(FileNameOf(known), &knownStatus) != 0) {
          std::printf("'%s' is gone - DELETING OUT OF DB\n", FileNameOf(known));  // even when quiet
          Set(known, Field::NameLength, 0);
          return OnEqualKey::kContinue;
        }
        if (SameFile(knownStatus, status)) {
          return OnEqualKey::kContinue;
        }
        if (!DeleteNewDupes) {
          ++DupeCount;
          found = true;
          if (!Quiet) {
            std::printf("'%s' IS a DUPE with '%s'\n", FileNameOf(entry), FileNameOf(known));
          }
          return OnEqualKey::kContinue;
        }
        if (!SameBytes(FileNameOf(known), bareName)) {
          return OnEqualKey::kContinue;  // not the same content after all: no duplicate of this one
        }
        ++DupeCount;
        if (unlink(bareName) == 0) {
          if (!Quiet) {
            std::printf("'%s' IS a DUPE with '%s' - DELETED\n", FileNameOf(entry), FileNameOf(known));
          }
          return OnEqualKey::kStop;  // the file is gone: its entry stays out of ContentList
        }
        if (!Quiet) {
          std::printf("'%s' IS a DUPE with '%s' - UNABLE TO DELETE\n", FileNameOf(entry), FileNameOf(known));
        }
        found = true;  // still there: it joins ContentList like a kept duplicate
        return OnEqualKey::kContinue;
      });
}
