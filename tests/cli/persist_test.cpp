// Runs of krelby that share a database file: what a later run knows, skips, refreshes and drops.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/database_file.h"
#include "tests/support/krelby_run.h"
#include "tests/support/temp_dir.h"

namespace {

// The output of a standard tool, for values the test checks independently of the product.
std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  for (int ch; pipe != nullptr && (ch = std::fgetc(pipe)) != EOF;) {
    out.push_back(static_cast<char>(ch));
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return out;
}
std::string Md5sum(const std::string& path) { return Shell("md5sum < '" + path + "'").substr(0, 32); }
// gzip's trailer holds the CRC-32 of what it compressed, little-endian.
std::uint32_t GzipCrc(const std::string& producer) {
  const std::string trailer = Shell(producer + " | gzip -c | tail -c 8");
  std::uint32_t crc = 0;
  for (int i = 3; i >= 0; --i) {
    crc = (crc << 8) | static_cast<unsigned char>(trailer[static_cast<std::size_t>(i)]);
  }
  return crc;
}

class Runs : public ::testing::Test {
 protected:
  KrelbyRun Run(std::vector<std::string> args, RunOptions options = {}) {
    options.directory = home.Path();
    return RunKrelby(args, options);
  }
  std::string Db() { return ReadFile(home / "krelby.dat"); }

  ScopedTempDir home;
  std::string tree = home / "tree";
};

TEST_F(Runs, TheSavedFileHoldsTheFormatByteForByte) {
  WriteFile(tree + "/a", "equal content");
  WriteFile(tree + "/sub/b", "equal content");
  WriteFile(tree + "/sub/e", "");
  WriteFile(tree + "/c", "another file altogether");
  ASSERT_EQ(Run({tree}).result.status, 0);
  const ParsedDatabase db = ParseDatabase(Db());
  ASSERT_TRUE(db.ok);
  ASSERT_EQ(db.pathCount, 4u);
  ASSERT_EQ(db.contentCount, 4u);
  ASSERT_EQ(db.records.size(), 4u);
  EXPECT_EQ(db.pathTable[0], 13u + 4u * 8u);
  std::map<std::uint32_t, const ParsedRecord*> byOffset;
  for (std::size_t i = 0; i < db.records.size(); ++i) {
    const ParsedRecord& r = db.records[i];
    SCOPED_TRACE(r.fileName);
    EXPECT_EQ(db.pathTable[i], r.offset);  // records in PathTable order, back to back
    EXPECT_EQ(r.recordOffset, r.offset);
    EXPECT_EQ(r.nameLength, r.fileName.size() + 1);
    EXPECT_EQ(r.exdid, 0u);
    if (i > 0) {
      EXPECT_LT(db.records[i - 1].pathCRC, r.pathCRC);
    }
    EXPECT_EQ(r.pathCRC, GzipCrc("printf '%s\\0' '" + r.fileName + "'"));
    EXPECT_EQ(r.crc32, GzipCrc("cat '" + r.fileName + "'"));
    EXPECT_EQ(r.md5Hex, Md5sum(r.fileName));
    struct stat status {};
    ASSERT_EQ(stat(r.fileName.c_str(), &status), 0);
    EXPECT_EQ(r.size, static_cast<std::uint32_t>(status.st_size));
    EXPECT_EQ(r.lastWrite, status.st_mtime);
    EXPECT_EQ(r.creationTime, status.st_ctime);
    byOffset[r.offset] = &r;
  }
  std::vector<std::uint32_t> contentKeys;
  for (std::uint32_t offset : db.contentTable) {
    ASSERT_EQ(byOffset.count(offset), 1u);
    contentKeys.push_back(byOffset[offset]->crc32);
  }
  EXPECT_TRUE(std::is_sorted(contentKeys.begin(), contentKeys.end()));
  EXPECT_EQ(contentKeys.front(), 0u);  // the empty file
}

// Watches every directory of the tree for files being opened.
class OpenWatch {
 public:
  explicit OpenWatch(const std::vector<std::string>& dirs) : fd_(inotify_init1(IN_NONBLOCK)) {
    for (const std::string& d : dirs) {
      inotify_add_watch(fd_, d.c_str(), IN_OPEN | IN_ACCESS);
    }
  }
  ~OpenWatch() { close(fd_); }
  std::vector<std::string> FilesOpened() {
    std::vector<std::string> names;
    alignas(inotify_event) char buffer[65536];
    for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if ((event->mask & IN_ISDIR) == 0 && event->len > 0) {
          names.emplace_back(event->name);
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
    return names;
  }

 private:
  int fd_;
};

TEST_F(Runs, AnUnchangedRerunOpensNoFileAndReadsNothing) {
  WriteFile(tree + "/a", "one");
  WriteFile(tree + "/d/b", "two");
  WriteFile(tree + "/d/e/c", "three");
  ASSERT_EQ(Run({tree}).entries, 3u);
  const std::string saved = Db();
  OpenWatch watch({tree, tree + "/d", tree + "/d/e"});
  const KrelbyRun again = Run({tree});
  EXPECT_EQ(again.result.status, 0);
  EXPECT_TRUE(again.messages.empty());
  EXPECT_EQ(again.bytes, 0u);
  EXPECT_EQ(again.entries, 3u);
  EXPECT_NE(again.result.out.find("Scanspeed: 0.000000 MB per second\n"), std::string::npos);
  EXPECT_EQ(watch.FilesOpened(), std::vector<std::string>{});
  EXPECT_EQ(Db(), saved);  // nothing changed, so the same bytes
}

TEST_F(Runs, ChangedMovedAndNewFilesAcrossRuns) {
  WriteFile(tree + "/a", "first a");
  WriteFile(tree + "/b", "content of b");
  WriteFile(tree + "/c", "content of c");
  ASSERT_EQ(Run({tree}).entries, 3u);

  WriteFile(tree + "/a", "second a, longer");                      // changed
  ASSERT_EQ(rename((tree + "/b").c_str(), (tree + "/moved").c_str()), 0);  // moved
  ASSERT_EQ(unlink((tree + "/c").c_str()), 0);                      // deleted
  WriteFile(tree + "/new", "content of c");                         // a copy of what c held
  WriteFile(tree + "/copy", "second a, longer");                    // equal to a as changed
  const KrelbyRun second = Run({"-q", tree});
  std::vector<std::string> messages = second.messages;
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(messages, (std::vector<std::string>{"'" + tree + "/b' is gone - DELETING OUT OF DB",
                                                "'" + tree + "/c' is gone - DELETING OUT OF DB"}));
  // Whether copy is taken for a duplicate of a depends on the walk order (a refreshed entry keeps
  // its old place in the content order), so only the gone entries are checked here.
  EXPECT_EQ(second.entries, 4u);  // a, moved, new, copy: the gone entries were dropped
  const KrelbyRun third = Run({tree});
  EXPECT_TRUE(third.messages.empty());
  EXPECT_EQ(third.bytes, 0u);
  EXPECT_EQ(third.entries, 4u);
}

TEST_F(Runs, ModifiedFileIsReportedAndANewCopyOfAKnownFileIsADuplicate) {
  WriteFile(tree + "/known", "known content");
  WriteFile(tree + "/touched", "touched");
  ASSERT_EQ(Run({tree}).entries, 2u);
  const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (tree + "/touched").c_str(), times, 0), 0);
  WriteFile(tree + "/later/copy", "known content");
  const KrelbyRun run = Run({"-d", tree});
  std::vector<std::string> messages = run.messages;
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "'" + tree + "/later/copy' IS a DUPE with '" + tree + "/known' - DELETED",
                          "'" + tree + "/touched' got modified - updating db entry - no scan for dupe in list done!"}));
  EXPECT_EQ(run.dupes, 1u);
  EXPECT_EQ(run.bytes, std::string("touched").size() + std::string("known content").size());
  EXPECT_TRUE(Exists(tree + "/known"));
  EXPECT_FALSE(Exists(tree + "/later/copy"));
}

TEST_F(Runs, OptionsThatChooseWhatIsLoadedAndSaved) {
  WriteFile(tree + "/a", "alpha");
  WriteFile(home / "other/x", "x-ray");
  MakeDirs(home / "emptydir");

  EXPECT_EQ(Run({"-n", tree}).entries, 1u);
  EXPECT_FALSE(Exists(home / "krelby.dat")) << "n saves nothing";

  ASSERT_EQ(Run({"-ls", "a.dat", "b.dat", tree}).entries, 1u);
  EXPECT_FALSE(Exists(home / "a.dat"));
  ASSERT_TRUE(Exists(home / "b.dat"));
  const std::string b = ReadFile(home / "b.dat");
  const KrelbyRun fromB = Run({"-ls", "b.dat", "c.dat", tree});
  EXPECT_EQ(fromB.bytes, 0u) << "everything known from b.dat";
  EXPECT_EQ(ReadFile(home / "b.dat"), b);
  EXPECT_EQ(ReadFile(home / "c.dat"), b);

  // c replaces the database by this run's entries alone...
  const KrelbyRun cleared = Run({"-cl", "c.dat", home / "other"});
  EXPECT_EQ(cleared.entries, 1u);
  EXPECT_EQ(Run({"-nl", "c.dat", tree}).bytes, 5u) << "a is no longer known";
  // ...unless the run finds no file at all: then the file stays as it was.
  const std::string c = ReadFile(home / "c.dat");
  EXPECT_EQ(Run({"-cl", "c.dat", home / "emptydir"}).entries, 0u);
  EXPECT_EQ(ReadFile(home / "c.dat"), c);
}

TEST_F(Runs, PurgeDeletesTheRecordedDuplicatesAndRewritesTheDatabase) {
  // One file per run, so that the content order is known: x, then y, then z.
  for (const char* name : {"x", "y", "z"}) {
    WriteFile(tree + "/" + name, "recorded twice over");
    ASSERT_EQ(Run({"-q", tree}).result.status, 0);
  }
  WriteFile(tree + "/solo", "unique");
  ASSERT_EQ(Run({"-q", tree}).entries, 4u);
  const KrelbyRun purge = Run({"-r"});
  EXPECT_EQ(purge.result.status, 0);
  EXPECT_EQ(purge.messages, (std::vector<std::string>{
                                "'" + tree + "/y' IS a DUPE with '" + tree + "/x' - DELETED",
                                "'" + tree + "/z' IS a DUPE with '" + tree + "/y' - DELETED"}));
  EXPECT_EQ(purge.dupes, 2u);
  EXPECT_EQ(purge.entries, 2u);
  EXPECT_TRUE(Exists(tree + "/x") && Exists(tree + "/solo"));
  EXPECT_FALSE(Exists(tree + "/y") || Exists(tree + "/z"));
  const ParsedDatabase db = ParseDatabase(Db());
  ASSERT_TRUE(db.ok);
  EXPECT_EQ(db.pathCount, 2u);
  const KrelbyRun again = Run({"-r"});
  EXPECT_TRUE(again.messages.empty());
  EXPECT_EQ(again.dupes, 0u);
}

TEST_F(Runs, PurgeGoesOnPastADuplicateItMayNotDelete) {
  ASSERT_EQ(chmod(home.Path().c_str(), 0755), 0);
  MakeDirs(tree + "/locked");
  ASSERT_EQ(chown(tree.c_str(), kNobody, kNobody), 0);  // x and z lie where nobody may delete
  ASSERT_EQ(chown(home.Path().c_str(), kNobody, kNobody), 0);
  const std::string content = "three copies";
  const std::string paths[] = {tree + "/x", tree + "/locked/y", tree + "/z"};
  for (const std::string& path : paths) {
    WriteFile(path, content);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(Run({"-q", tree}, {.uid = kNobody}).result.status, 0);
  }
  const KrelbyRun purge = Run({"-r"}, {.uid = kNobody});
  EXPECT_EQ(purge.messages, (std::vector<std::string>{
                                "'" + paths[1] + "' IS a DUPE with '" + paths[0] + "' - UNABLE TO DELETE",
                                "'" + paths[2] + "' IS a DUPE with '" + paths[1] + "' - DELETED"}));
  EXPECT_EQ(purge.dupes, 2u);
  EXPECT_EQ(purge.entries, 2u);
  EXPECT_TRUE(Exists(paths[0]) && Exists(paths[1]));
  EXPECT_FALSE(Exists(paths[2]));
}

TEST_F(Runs, PurgeWithoutAnyDatabaseCreatesNone) {
  const KrelbyRun run = Run({"-rq"});
  EXPECT_EQ(run.messages, std::vector<std::string>{"ERROR: No Files in Database"});
  EXPECT_EQ(run.entries, 0u);
  EXPECT_EQ(run.dupes, 0u);
  EXPECT_FALSE(Exists(home / "krelby.dat"));
}

TEST_F(Runs, ASaveKeepsPermissionsAndTheFileBehindALink) {
  WriteFile(tree + "/a", "alpha");
  MakeDirs(home / "store");
  ASSERT_EQ(Run({"-l", home / "store/real.dat", tree}).result.status, 0);
  ASSERT_EQ(chmod((home / "store/real.dat").c_str(), 0640), 0);
  ASSERT_EQ(symlink("store/real.dat", (home / "link.dat").c_str()), 0);
  WriteFile(tree + "/b", "beta");
  ASSERT_EQ(Run({"-l", "link.dat", tree}).entries, 2u);
  struct stat link {};
  struct stat real {};
  ASSERT_EQ(lstat((home / "link.dat").c_str(), &link), 0);
  ASSERT_EQ(stat((home / "store/real.dat").c_str(), &real), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(real.st_mode & 07777, 0640u);
  EXPECT_EQ(ParseDatabase(ReadFile(home / "store/real.dat")).pathCount, 2u);
}

TEST_F(Runs, ADatabaseThatCannotBeReadIsRefused) {
  ASSERT_EQ(chmod(home.Path().c_str(), 0755), 0);
  WriteFile(tree + "/a", "alpha");
  ASSERT_EQ(Run({tree}).result.status, 0);
  const std::string saved = Db();
  ASSERT_EQ(chmod((home / "krelby.dat").c_str(), 0600), 0);  // root's alone
  const KrelbyRun run = Run({"-d", tree}, {.uid = kNobody});
  EXPECT_EQ(run.result.status, 255);
  EXPECT_NE(run.result.out.find("ERROR: 'krelby.dat' is not a valid database\n"), std::string::npos);
  EXPECT_EQ(Db(), saved);
}

// Contents a < m < b whose CRC-32 share one bucket; m is edited into a higher one. Its entry moves
// to its new key, so a later copy of b is found, stands beside b in the saved content order, and
// the dump and the purge see the pair.
TEST_F(Runs, AnEditedFileLeavesNoGapForLaterCopies) {
  WriteFile(tree + "/a", "content 34\n");
  WriteFile(tree + "/m", "content 2257\n");
  WriteFile(tree + "/b", "content 4288\n");
  ASSERT_EQ(Run({tree}).entries, 3u);
  WriteFile(tree + "/m", "edited\n");
  const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (tree + "/m").c_str(), times, 0), 0);
  ASSERT_EQ(Run({tree}).messages.size(), 1u);  // m got modified
  WriteFile(tree + "/later/copy", "content 4288\n");
  const KrelbyRun found = Run({tree});
  EXPECT_EQ(found.messages, (std::vector<std::string>{"'" + tree + "/later/copy' IS a DUPE with '" + tree + "/b'"}));
  EXPECT_EQ(found.dupes, 1u);

  const ParsedDatabase db = ParseDatabase(Db());
  std::vector<std::string> contentOrder;
  for (std::uint32_t offset : db.contentTable) {
    for (const ParsedRecord& r : db.records) {
      if (r.offset == offset) {
        contentOrder.push_back(r.fileName.substr(tree.size()));
      }
    }
  }
  EXPECT_EQ(contentOrder, (std::vector<std::string>{"/a", "/b", "/later/copy", "/m"}));
  const ProgramResult dump = RunProgram(VOSTREL_PATH, {home / "krelby.dat"});
  EXPECT_NE(dump.out.find("\n4 entries - 1 dupe(s)\n"), std::string::npos) << dump.out;
  const KrelbyRun purge = Run({"-r"});
  EXPECT_EQ(purge.dupes, 1u);
  EXPECT_FALSE(Exists(tree + "/later/copy"));
  EXPECT_TRUE(Exists(tree + "/b"));
}

// A known file that changed and can no longer be read has no known content: no checksums, out of
// the content order, and a later copy of what it once held is no duplicate of it.
TEST_F(Runs, AModifiedFileThatCannotBeReadLosesItsChecksums) {
  ASSERT_EQ(chmod(home.Path().c_str(), 0777), 0);
  WriteFile(tree + "/f", "old content");
  WriteFile(tree + "/other", "other content");
  ASSERT_EQ(Run({tree}).entries, 2u);
  WriteFile(tree + "/f", "new content, unreadable");
  ASSERT_EQ(chmod((tree + "/f").c_str(), 0), 0);
  const KrelbyRun modified = Run({tree}, {.uid = kNobody});
  ASSERT_EQ(modified.result.status, 0) << modified.result.out;
  ParsedDatabase db = ParseDatabase(Db());
  ASSERT_TRUE(db.ok);
  for (const ParsedRecord& r : db.records) {
    if (r.fileName == tree + "/f") {
      EXPECT_EQ(r.crc32, 0u);
      EXPECT_EQ(r.md5Hex, std::string(32, '0'));
      EXPECT_EQ(std::count(db.contentTable.begin(), db.contentTable.end(), r.offset), 0);
    }
  }
  EXPECT_EQ(db.contentCount, 1u);
  WriteFile(tree + "/g", "old content");
  const KrelbyRun later = Run({tree});
  EXPECT_TRUE(later.messages.empty()) << later.result.out;
  EXPECT_EQ(later.dupes, 0u);
}

}  // namespace
