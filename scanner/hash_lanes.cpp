#include "scanner/hash_lanes.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <new>
#include <optional>
#include <vector>

#include "scanner/arena.h"
#include "scanner/file_compare.h"
#include "scanner/run_state.h"
#include "store/crc32.h"
#include "store/handles.h"
#include "store/md5.h"
#include "store/md5_lanes.h"

struct DirectoryHold {
  Fd directory;
  std::uint32_t holders = 0;
};

namespace {

// The window: how far the walk may run ahead of the commits. Files already hashed wait for their
// commit holding no descriptor of their own, so many of them may wait: a large file at the head
// of the queue then has plenty of small files to share the lanes with. Files holding a descriptor
// (waiting for a lane, or in one) are fewer, and every descriptor the window holds, directories
// included, stays well under the process's limit.
constexpr std::size_t kMaxQueuedFiles = 4096;
constexpr std::size_t kMaxOpenFiles = 64;
constexpr std::uint64_t kMaxWaitingBytes = std::uint64_t{512} << 20;  // queued, not yet in a lane
// Read-ahead: each file is asked for this much ahead of where its lane reads.
constexpr std::uint64_t kReadAhead = std::uint64_t{4} << 20;
// A file of one piece is asked for ahead only while reads find the page cache cold: warm, the
// hint is one more system call per file for nothing. Each first read that finds its bytes not all
// cached raises a score, each that finds them cached lowers it by one; a few stray misses in a
// warm cache (pages the system dropped) do not reach the mark, a cold cache stays far above it.
constexpr std::uint32_t kColdMiss = 32;
constexpr std::uint32_t kColdMark = 64;
constexpr std::uint32_t kColdMost = 1024;

struct QueuedFile {
  Entry entry;
  Reconciled outcome = Reconciled::kNew;
  DirectoryHold* directory = nullptr;
  Fd file;                  // invalid when it could not be opened: nothing is hashed or counted
  std::uint64_t size = 0;   // bytes to hash: the walk's st_size
  std::uint64_t read = 0;   // bytes read into its lane so far
  std::uint64_t advised = 0;  // bytes asked for ahead of the reads
  bool hashed = false;
  std::optional<ContentChecksums> sums;
};

struct Lane {
  QueuedFile* file = nullptr;  // null: free
  std::uint32_t at = 0;        // the lane's buffer holds read bytes not yet hashed at [at, at + left)
  std::uint32_t left = 0;
};

struct HashLanes {
  std::deque<QueuedFile> queue;     // walk order; the head commits first. Elements never move.
  std::vector<QueuedFile*> waiting;  // opened, not yet in a lane: a heap, the largest on top
  std::uint64_t waitingBytes = 0;
  std::size_t openFiles = 0;         // queued files holding a descriptor
  std::size_t liveHolds = 0;         // directory holds holding a descriptor
  std::size_t maxDescriptors = kMaxOpenFiles;
  std::size_t laneLimit = 0;         // 0: LaneCount()
  std::uint32_t coldScore = kColdMost;  // a fresh run assumes a cold cache
  Lane lanes[kMaxLanes];
  LaneState state;
  std::byte* buffers = nullptr;  // kMaxLanes pieces of kReadBufferSize bytes
  std::vector<DirectoryHold*> freeHolds;
};
HashLanes& Lanes() {
  static HashLanes lanes;
  return lanes;
}

std::size_t LanesInUse(const HashLanes& h) {
  const std::size_t limit = h.laneLimit != 0 ? h.laneLimit : LaneCount();
  return std::min(limit, kMaxLanes);
}

bool SmallerFile(const QueuedFile* a, const QueuedFile* b) { return a->size < b->size; }

void Advise(QueuedFile& f) {
#ifdef POSIX_FADV_WILLNEED
  if (f.advised < f.size && f.advised <= f.read + kReadAhead / 2) {
    const std::uint64_t length = std::min(kReadAhead, f.size - f.advised);
    (void)posix_fadvise(f.file.Get(), static_cast<off_t>(f.advised), static_cast<off_t>(length),
                        POSIX_FADV_WILLNEED);  // a hint: reading works without it
    f.advised += length;
  }
#else
  (void)f;
#endif
}

// Reads a file's first piece, and tells whether its bytes were all in the page cache, where the
// system can say so without waiting for them.
bool ReadFirstPiece(int fd, std::byte* into, std::uint32_t length, bool& cached) {
#ifdef RWF_NOWAIT
  iovec piece{into, length};
  ssize_t got = preadv2(fd, &piece, 1, -1, RWF_NOWAIT);  // at the file offset, which it advances
  if (got < 0) {
    got = 0;  // not cached (or no such reads here): the plain read below takes it all
  }
  const auto have = static_cast<std::uint32_t>(got);
  cached = have == length;
  return cached || ReadFully(fd, into + have, length - have);
#else
  cached = false;
  return ReadFully(fd, into, length);
#endif
}

void CloseQueued(HashLanes& h, QueuedFile& f) {
  f.file.Reset(-1);
  --h.openFiles;
}

void Finish(HashLanes& h, std::size_t lane) {
  QueuedFile& f = *h.lanes[lane].file;
  ContentChecksums sums;
  FinishLane(h.state, lane, sums.crc, sums.digest);
  f.sums = sums;
  f.hashed = true;
  CloseQueued(h, f);
  h.lanes[lane] = Lane{};
}

// Gives free lanes the largest waiting files: a large file started early finds many others to
// share the lanes with, where started last it would be hashed alone at the end.
void FillLanes(HashLanes& h) {
  const std::size_t inUse = LanesInUse(h);
  for (std::size_t lane = 0; lane < inUse && !h.waiting.empty(); ++lane) {
    if (h.lanes[lane].file != nullptr) {
      continue;
    }
    std::pop_heap(h.waiting.begin(), h.waiting.end(), SmallerFile);
    QueuedFile& f = *h.waiting.back();
    h.waiting.pop_back();
    h.waitingBytes -= f.size;
    h.lanes[lane].file = &f;
    StartLane(h.state, lane);
  }
}

// One round: every busy lane whose buffer is used up reads its file's next piece, and a piece of
// every busy lane is folded in. A piece that cannot be read in full leaves its file's content
// unknown: the lane starts over empty and the file is done.
//
// While files wait for a lane, no lane takes more in one round than the middle one of the busy
// lanes has: the longer pieces keep their rest for the next round, when the lanes that finished a
// file have a new one. So the vector rounds stay full, where a lane that went on alone would go
// through the single-stream code.
void HashOneRound(HashLanes& h) {
  std::uint32_t lengths[kMaxLanes];
  std::size_t busy = 0;
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    Lane& l = h.lanes[lane];
    QueuedFile* f = l.file;
    if (f == nullptr) {
      continue;
    }
    if (l.left == 0 && f->read < f->size) {
      std::byte* buffer = h.buffers + lane * kReadBufferSize;
      const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(f->size - f->read, kReadBufferSize));
      bool cached = true;
      const bool first = f->read == 0;
      if (!(first ? ReadFirstPiece(f->file.Get(), buffer, piece, cached) : ReadFully(f->file.Get(), buffer, piece))) {
        StartLane(h.state, lane);
        f->read = f->size;
        continue;
      }
      if (!cached) {
        h.coldScore = std::min(h.coldScore + kColdMiss, kColdMost);
      } else if (first && h.coldScore != 0) {
        --h.coldScore;
      }
      l.at = 0;
      l.left = piece;
      f->read += piece;
      if (f->read < f->size) {
        Advise(*f);
      }
    }
    lengths[busy++] = l.left;
  }
  std::uint32_t cap = UINT32_MAX;
  const std::size_t middle = LanesInUse(h) / 2;
  if (!h.waiting.empty() && middle >= 2 && busy > middle) {
    std::nth_element(lengths, lengths + middle, lengths + busy, std::greater<>());
    cap = std::max<std::uint32_t>(lengths[middle] & ~std::uint32_t{63}, 64);
  }
  LanePiece pieces[kMaxLanes] = {};
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    Lane& l = h.lanes[lane];
    if (l.file != nullptr && l.left != 0) {
      const std::uint32_t length = std::min(l.left, cap);
      pieces[lane] = LanePiece{h.buffers + lane * kReadBufferSize + l.at, length};
      l.at += length;
      l.left -= length;
    }
  }
  UpdateLanes(h.state, pieces);
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    const Lane& l = h.lanes[lane];
    if (l.file != nullptr && l.left == 0 && l.file->read == l.file->size) {
      Finish(h, lane);
    }
  }
}

// Commits the hashed files at the head of the queue, in walk order.
void CommitHead(HashLanes& h) {
  while (!h.queue.empty() && h.queue.front().hashed) {
    QueuedFile& f = h.queue.front();
    const char* name = std::strrchr(FileNameOf(f.entry), '/') + 1;
    CommitContent(f.entry, f.outcome, f.sums, DescriptorOf(f.directory), name);
    ReleaseDirectory(f.directory);
    h.queue.pop_front();
  }
}

// One step forward: free lanes filled, the hashed head committed, and one round hashed. Every
// step with a non-empty queue commits a file or brings one nearer to its commit.
void Step(HashLanes& h) {
  FillLanes(h);
  CommitHead(h);
  for (const Lane& l : h.lanes) {
    if (l.file != nullptr) {
      HashOneRound(h);
      return;
    }
  }
}

bool WindowFull(const HashLanes& h) {
  return h.queue.size() >= kMaxQueuedFiles || h.openFiles >= kMaxOpenFiles ||
         h.openFiles + h.liveHolds >= h.maxDescriptors || h.waitingBytes > kMaxWaitingBytes;
}

// The checksums of empty content, without a lane.
ContentChecksums EmptyContent() {
  ContentChecksums sums;
  MD5_CTX md5;
  MD5Init(md5);
  MD5Final(sums.digest, md5);
  sums.crc = kCrc32Start ^ kCrc32Final;
  return sums;
}

}  // namespace

DirectoryHold* HoldDirectory(int directory) {
  HashLanes& h = Lanes();
  DirectoryHold* hold = nullptr;
  if (!h.freeHolds.empty()) {
    hold = h.freeHolds.back();
    h.freeHolds.pop_back();
  } else {
    hold = static_cast<DirectoryHold*>(RunAllocate(sizeof(DirectoryHold)));
    if (hold == nullptr) {
      (void)close(directory);
      return nullptr;
    }
    new (hold) DirectoryHold{};
  }
  hold->directory.Reset(directory);
  hold->holders = 1;
  ++h.liveHolds;
  return hold;
}

int DescriptorOf(const DirectoryHold* hold) { return hold->directory.Get(); }

void ReleaseDirectory(DirectoryHold* hold) {
  if (--hold->holders == 0) {
    hold->directory.Reset(-1);
    HashLanes& h = Lanes();
    --h.liveHolds;
    h.freeHolds.push_back(hold);
  }
}

bool StartHashLanes() {
  HashLanes& h = Lanes();
  if (h.buffers == nullptr) {
    h.buffers = static_cast<std::byte*>(RunAllocate(kMaxLanes * kReadBufferSize));
  }
  // Queued files and their directories hold descriptors: stay well under the limit.
  h.maxDescriptors = kMaxQueuedFiles;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const rlim_t spare = limit.rlim_cur > 256 ? (limit.rlim_cur - 256) / 4 : 2;
    h.maxDescriptors = std::clamp<std::size_t>(static_cast<std::size_t>(spare), 2, kMaxQueuedFiles);
  }
  return h.buffers != nullptr;
}

void QueueFile(Entry entry, Reconciled outcome, DirectoryHold* directory, const char* bareName, std::uint64_t size) {
  HashLanes& h = Lanes();
  while (!h.queue.empty() && WindowFull(h)) {
    Step(h);
  }
  ++directory->holders;
  QueuedFile& f = h.queue.emplace_back();
  f.entry = entry;
  f.outcome = outcome;
  f.directory = directory;
  struct stat opened {};
  f.file = OpenRegular(DescriptorOf(directory), bareName, opened);
  if (!f.file.Valid()) {
    f.hashed = true;  // could not be opened: no checksums
    return;
  }
  TotalBytes += size;
  ++h.openFiles;
  if (size == 0) {
    f.sums = EmptyContent();
    f.hashed = true;
    CloseQueued(h, f);
    return;
  }
  f.size = size;
  h.waitingBytes += size;
  h.waiting.push_back(&f);
  std::push_heap(h.waiting.begin(), h.waiting.end(), SmallerFile);
  if (size > kReadBufferSize || h.coldScore >= kColdMark) {
    Advise(f);
  }
}

void FinishHashLanes() {
  HashLanes& h = Lanes();
  while (!h.queue.empty()) {
    Step(h);
  }
}

void LimitHashLanes(std::size_t lanes) { Lanes().laneLimit = lanes; }
