#include "scanner/hash_lanes.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <vector>

#include "scanner/arena.h"
#include "scanner/file_compare.h"
#include "scanner/run_state.h"
#include "store/handles.h"
#include "store/md5_lanes.h"

struct DirectoryHold {
  Fd directory;
  std::uint32_t holders = 0;
};

namespace {

// The window: how far the walk may run ahead of the commits.
constexpr std::size_t kMaxQueuedFiles = 64;
constexpr std::uint64_t kMaxWaitingBytes = std::uint64_t{512} << 20;  // queued, not yet in a lane
// Read-ahead: each file is asked for this much ahead of where its lane reads.
constexpr std::uint64_t kReadAhead = std::uint64_t{4} << 20;

struct QueuedFile {
  Entry entry;
  Reconciled outcome = Reconciled::kNew;
  DirectoryHold* directory = nullptr;
  Fd file;                  // invalid when it could not be opened: nothing is hashed or counted
  std::uint64_t size = 0;   // bytes to hash: the walk's st_size
  std::uint64_t done = 0;   // bytes hashed so far
  std::uint64_t advised = 0;  // bytes asked for ahead of the reads
  bool hashed = false;
  std::optional<ContentChecksums> sums;
};

struct Lane {
  QueuedFile* file = nullptr;  // null: free
};

struct HashLanes {
  std::deque<QueuedFile> queue;  // walk order; the head commits first
  std::size_t started = 0;       // queue[0, started) have had a lane
  std::uint64_t waitingBytes = 0;
  std::size_t maxQueued = kMaxQueuedFiles;
  std::size_t laneLimit = 0;     // 0: LaneCount()
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

void Advise(QueuedFile& f) {
#ifdef POSIX_FADV_WILLNEED
  if (f.advised < f.size && f.advised - f.done <= kReadAhead / 2) {
    const std::uint64_t length = std::min(kReadAhead, f.size - f.advised);
    (void)posix_fadvise(f.file.Get(), static_cast<off_t>(f.advised), static_cast<off_t>(length),
                        POSIX_FADV_WILLNEED);  // a hint: reading works without it
    f.advised += length;
  }
#else
  (void)f;
#endif
}

void Finish(HashLanes& h, std::size_t lane) {
  QueuedFile& f = *h.lanes[lane].file;
  ContentChecksums sums;
  FinishLane(h.state, lane, sums.crc, sums.digest);
  f.sums = sums;
  f.hashed = true;
  f.file.Reset(-1);
  h.lanes[lane].file = nullptr;
}

// Gives free lanes the next queued files, in queue order. A file with nothing to read is done at once.
void FillLanes(HashLanes& h) {
  const std::size_t inUse = LanesInUse(h);
  for (std::size_t lane = 0; lane < inUse && h.started < h.queue.size(); ++lane) {
    if (h.lanes[lane].file != nullptr) {
      continue;
    }
    QueuedFile& f = h.queue[h.started++];
    h.waitingBytes -= f.size;
    if (!f.file.Valid()) {
      f.hashed = true;  // could not be opened: no checksums
      continue;
    }
    h.lanes[lane].file = &f;
    StartLane(h.state, lane);
    if (f.size == 0) {
      Finish(h, lane);
    }
  }
}

// One round: a piece of every busy lane's file read and folded in. A piece that cannot be read in
// full leaves its file's content unknown: the lane starts over empty and the file is done.
void HashOneRound(HashLanes& h) {
  LanePiece pieces[kMaxLanes] = {};
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    QueuedFile* f = h.lanes[lane].file;
    if (f == nullptr) {
      continue;
    }
    std::byte* buffer = h.buffers + lane * kReadBufferSize;
    const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(f->size - f->done, kReadBufferSize));
    if (!ReadFully(f->file.Get(), buffer, piece)) {
      StartLane(h.state, lane);
      f->done = f->size;
      continue;
    }
    pieces[lane] = LanePiece{buffer, piece};
    f->done += piece;
    Advise(*f);
  }
  UpdateLanes(h.state, pieces);
  for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
    if (h.lanes[lane].file != nullptr && h.lanes[lane].file->done == h.lanes[lane].file->size) {
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
    --h.started;
  }
}

// Hashes until the head of the queue is committed, or nothing is left.
void Advance(HashLanes& h) {
  while (!h.queue.empty()) {
    FillLanes(h);
    if (h.queue.front().hashed) {
      CommitHead(h);
      return;
    }
    HashOneRound(h);
  }
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
  return hold;
}

int DescriptorOf(const DirectoryHold* hold) { return hold->directory.Get(); }

void ReleaseDirectory(DirectoryHold* hold) {
  if (--hold->holders == 0) {
    hold->directory.Reset(-1);
    Lanes().freeHolds.push_back(hold);
  }
}

bool StartHashLanes() {
  HashLanes& h = Lanes();
  if (h.buffers == nullptr) {
    h.buffers = static_cast<std::byte*>(RunAllocate(kMaxLanes * kReadBufferSize));
  }
  // Each queued file holds a descriptor, and so may its directory: stay well under the limit.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const rlim_t spare = limit.rlim_cur > 256 ? (limit.rlim_cur - 256) / 4 : 1;
    h.maxQueued = std::clamp<std::size_t>(static_cast<std::size_t>(spare), 1, kMaxQueuedFiles);
  }
  return h.buffers != nullptr;
}

void QueueFile(Entry entry, Reconciled outcome, DirectoryHold* directory, const char* bareName, std::uint64_t size) {
  HashLanes& h = Lanes();
  while (h.queue.size() >= h.maxQueued || (h.waitingBytes > kMaxWaitingBytes && !h.queue.empty())) {
    Advance(h);
  }
  ++directory->holders;
  QueuedFile& f = h.queue.emplace_back();
  f.entry = entry;
  f.outcome = outcome;
  f.directory = directory;
  struct stat opened {};
  f.file = OpenRegular(DescriptorOf(directory), bareName, opened);
  if (f.file.Valid()) {
    TotalBytes += size;
    f.size = size;
    h.waitingBytes += size;
    Advise(f);
  }
}

void FinishHashLanes() {
  HashLanes& h = Lanes();
  while (!h.queue.empty()) {
    Advance(h);
  }
}

void LimitHashLanes(std::size_t lanes) { Lanes().laneLimit = lanes; }
