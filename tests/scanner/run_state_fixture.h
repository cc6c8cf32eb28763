#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "scanner/content.h"
#include "scanner/hash_lanes.h"
#include "scanner/run_state.h"
#include "store/crc32.h"
#include "store/handles.h"
#include "store/md5.h"
#include "tests/support/temp_dir.h"

inline ContentChecksums ChecksumsOf(const std::string& bytes) {
  ContentChecksums sums;
  std::uint32_t running = kCrc32Start;
  Crc32Update(running, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  sums.crc = running ^ kCrc32Final;
  MD5_CTX md5;
  MD5Init(md5);
  MD5Update(md5, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  MD5Final(sums.digest, md5);
  return sums;
}

inline std::uint32_t PathCrcOf(const std::string& path) {
  std::uint32_t running = kCrc32Start;
  Crc32Update(running, path.c_str(), static_cast<std::uint32_t>(path.size() + 1));
  return running ^ kCrc32Final;
}

// Fresh run-wide state for each test, a tree to work in, and fabricated known entries.
class RunStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateRunState();
    Quiet = false;
    DeleteNewDupes = false;
    TotalBytes = 0;
    DupeCount = 0;
    ASSERT_TRUE(StartHashLanes());
    LimitHashLanes(0);
  }
  // Tests change into their trees, which go away with them.
  void TearDown() override { ASSERT_EQ(chdir("/"), 0); }

  // A known entry as a load would bring it, linked at the tail of both lists.
  Entry AddKnown(const std::string& path, const ContentChecksums& sums, std::uint32_t size) {
    const auto nameLength = static_cast<std::uint16_t>(path.size() + 1);
    std::vector<std::byte>& bytes = records.emplace_back(RecordSize(nameLength));
    const Entry e{bytes.data()};
    FillNewEntry(e, path.c_str(), nameLength, PathCrcOf(path), FileStatus{size, 1, 1});
    Set(e, Field::CRC32, sums.crc);
    StoreDigest(e, sums.digest);
    auto pass = [](EntryNode*) { return OnEqualKey::kContinue; };
    LookupWithInsertion(PathList, PathIndex, e, &nodes.emplace_back(), PathKey(e), PathKey, pass);
    LookupWithInsertion(ContentList, ContentIndex, e, &nodes.emplace_back(), ContentKey(e), ContentKey, pass);
    return e;
  }

  static std::vector<std::string> Names(const EntryList& list) {
    std::vector<std::string> names;
    for (const EntryNode* n = list.first; n != nullptr; n = n->next) {
      names.emplace_back(Get(n->entry, Field::NameLength) == 0 ? "(removed)" : FileNameOf(n->entry));
    }
    return names;
  }

  Entry Find(const std::string& path) const {
    for (const EntryNode* n = PathList.first; n != nullptr; n = n->next) {
      if (path == FileNameOf(n->entry)) {
        return n->entry;
      }
    }
    ADD_FAILURE() << "no entry for " << path;
    return Entry{};
  }

  // One file of `directory` hashed and committed now, as the walk would queue it with its status.
  void HashAndMatch(Entry entry, Reconciled outcome, int directory, const char* name, const struct stat& status) {
    DirectoryHold* hold = HoldDirectory(fcntl(directory, F_DUPFD_CLOEXEC, 0));
    QueueFile(entry, outcome, hold, name, static_cast<std::uint64_t>(status.st_size));
    ReleaseDirectory(hold);
    FinishHashLanes();
  }

  // A new entry for a file of the tree, linked nowhere yet.
  Entry NewEntry(const std::string& name, std::uint64_t size) {
    const std::string path = tree / name;
    const auto nameLength = static_cast<std::uint16_t>(path.size() + 1);
    const Entry e{records.emplace_back(RecordSize(nameLength)).data()};
    FillNewEntry(e, path.c_str(), nameLength, PathCrcOf(path), FileStatus{size, 0, 0});
    return e;
  }

  // The checksums a file of the tree gets through the lanes when the walk saw `size` bytes;
  // nullopt when it could not be opened (its entry then has no digest at all).
  std::optional<ContentChecksums> Hash(const std::string& name, std::uint64_t size) {
    const Entry e = NewEntry(name, size);
    struct stat status {};
    status.st_size = static_cast<off_t>(size);
    HashAndMatch(e, Reconciled::kNew, TreeFd(), name.c_str(), status);
    ContentChecksums sums;
    sums.crc = Get(e, Field::CRC32);
    bool any = false;
    for (std::size_t j = 0; j < kMD5Size; ++j) {
      sums.digest[j] = std::to_integer<std::uint8_t>(MD5Of(e)[kMD5Size - 1 - j]);
      any = any || sums.digest[j] != 0;
    }
    return any ? std::optional<ContentChecksums>(sums) : std::nullopt;
  }

  // The tree's directory, open, as the walk hands its directories to the content step.
  int TreeFd() {
    if (!treeFd.Valid()) {
      treeFd.Reset(open(tree.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return treeFd.Get();
  }

  ScopedTempDir tree;
  Fd treeFd;
  std::deque<std::vector<std::byte>> records;
  std::deque<EntryNode> nodes;
};
