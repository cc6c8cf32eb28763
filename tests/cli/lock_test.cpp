// One run at a time per database: real krelby processes racing, killed, and refused; and the
// leftovers of killed saves removed by the next run.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/database_file.h"
#include "tests/support/krelby_run.h"
#include "tests/support/temp_dir.h"

namespace {

std::string InUse(const std::string& name) { return "ERROR: database '" + name + "' is in use by another run\n"; }

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The test itself holds a database's lock, as another run would.
class HeldLock {
 public:
  explicit HeldLock(const std::string& lockFile) : fd_(open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    EXPECT_EQ(flock(fd_, LOCK_EX | LOCK_NB), 0) << lockFile;
  }
  ~HeldLock() { close(fd_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  int fd_;
};

// A krelby run that stops in the middle of its walk, holding its locks, until the test lets it go.
// Its standard output is a pipe the test has filled to the brim, so the first time the run's
// output buffer fills (a few kilobytes of messages into the walk) it waits for the test to read.
class StalledRun {
 public:
  StalledRun(const std::vector<std::string>& args, const std::string& directory) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    readFd_ = fds[0];
    const int flags = fcntl(fds[1], F_GETFL);
    fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);
    const std::string block(4096, 'f');
    for (ssize_t n; (n = write(fds[1], block.data(), block.size())) > 0;) {
      filler_ += static_cast<std::size_t>(n);
    }
    fcntl(fds[1], F_SETFL, flags);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      alarm(120);  // never outlives a broken test
      std::vector<std::string> words = args;
      words.insert(words.begin(), "krelby");
      std::vector<char*> argv;
      for (std::string& w : words) {
        argv.push_back(w.data());
      }
      argv.push_back(nullptr);
      if (chdir(directory.c_str()) == 0) {
        execv(KRELBY_PATH, argv.data());
      }
      _exit(127);
    }
    close(fds[1]);
  }
  ~StalledRun() {
    if (pid_ > 0) {
      Kill();
    }
    close(readFd_);
  }
  StalledRun(const StalledRun&) = delete;
  StalledRun& operator=(const StalledRun&) = delete;

  // Waits until the kernel shows this run holding the lock on lockFile (it cannot go past its
  // walk, so once it holds the lock it keeps it).
  void WaitForLock(const std::string& lockFile) const {
    for (int tries = 0; tries < 6000; ++tries) {
      struct stat status {};
      if (stat(lockFile.c_str(), &status) == 0 && HoldsFlock(status.st_ino)) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "run " << pid_ << " never locked " << lockFile;
  }

  // Lets the run go on: reads its output to the end and returns it with its exit status.
  std::pair<int, std::string> Finish() {
    std::string out;
    char chunk[65536];
    for (ssize_t n; (n = read(readFd_, chunk, sizeof chunk)) > 0;) {
      out.append(chunk, static_cast<std::size_t>(n));
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out.substr(std::min(filler_, out.size()))};
  }

  void Kill() {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  // /proc/locks lines read "1: FLOCK  ADVISORY  WRITE 1234 00:2f:5678 0 EOF".
  bool HoldsFlock(ino_t inode) const {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      std::istringstream fields(line);
      std::string number, kind, advisory, mode, device;
      pid_t pid = 0;
      fields >> number >> kind >> advisory >> mode >> pid >> device;
      if (kind == "FLOCK" && mode == "WRITE" && pid == pid_ && EndsWith(device, ":" + std::to_string(inode))) {
        return true;
      }
    }
    return false;
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  std::size_t filler_ = 0;
};

class Lock : public ::testing::Test {
 protected:
  KrelbyRun Run(const std::vector<std::string>& args, RunOptions options = {}) {
    options.directory = home.Path();
    return RunKrelby(args, options);
  }
  // Enough equal files that the messages of a walk overflow the output buffer.
  void WriteBusyTree(const std::string& root) {
    WriteFile(root + "/original", "the same content in every file");
    for (int i = 0; i < 80; ++i) {
      WriteFile(root + "/copies/copy-number-" + std::to_string(i), "the same content in every file");
    }
  }

  ScopedTempDir home;
  std::string tree = home / "tree";
};

TEST_F(Lock, ARunFindingItsDatabaseInUseStopsBeforeItChangesAnything) {
  WriteFile(tree + "/a", "duplicated");
  MakeDirs(home / "store");
  ASSERT_EQ(Run({tree}).result.status, 0);
  ASSERT_EQ(Run({"-l", home / "store/real.dat", tree}).result.status, 0);
  ASSERT_EQ(symlink("store/real.dat", (home / "link.dat").c_str()), 0);
  WriteFile(tree + "/copy", "duplicated");  // what a run with d would delete
  struct Case {
    const char* why;
    std::vector<std::string> args;
    std::string lockFile;  // held by the test
    std::string name;      // named in the message: as given
  };
  const Case cases[] = {
      {"load and save", {"-d", tree}, "krelby.dat.lock", "krelby.dat"},
      {"load only", {"-dn", tree}, "krelby.dat.lock", "krelby.dat"},
      {"save only", {"-dc", tree}, "krelby.dat.lock", "krelby.dat"},
      {"purge", {"-r"}, "krelby.dat.lock", "krelby.dat"},
      {"the saved one of two", {"-dls", "krelby.dat", "new.dat", tree}, "new.dat.lock", "new.dat"},
      {"a link meets the lock of its file", {"-dl", "link.dat", tree}, "store/real.dat.lock", "link.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const HeldLock held(home / c.lockFile);
    const std::vector<std::string> before = Listing(home.Path());
    const std::string database = ReadFile(home / "krelby.dat");
    const KrelbyRun run = Run(c.args);
    EXPECT_EQ(run.result.status, 255);
    EXPECT_TRUE(EndsWith(run.result.out, "DUPE List:\n" + InUse(c.name))) << run.result.out;
    EXPECT_EQ(Listing(home.Path()), before);
    EXPECT_EQ(ReadFile(home / "krelby.dat"), database);
    EXPECT_TRUE(Exists(tree + "/copy"));
  }
  EXPECT_FALSE(Exists(home / "link.dat.lock")) << "the lock file is named after the file, not the link";

  // Runs that touch another database, or none, go on; so does one naming one database twice.
  const HeldLock held(home / "krelby.dat.lock");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-cn", tree},
                                              std::vector<std::string>{"-l", "other.dat", tree},
                                              std::vector<std::string>{"-ls", "link.dat", "store/real.dat", tree},
                                              std::vector<std::string>{"-ls", "x.dat", "./x.dat", tree}}) {
    SCOPED_TRACE(args[1]);
    EXPECT_EQ(Run(args).result.status, 0);
  }
}

TEST_F(Lock, OfTwoRacingRunsTheSecondIsRefusedAndTheFirstCompletes) {
  WriteBusyTree(tree);
  WriteFile(home / "y/one", "a file of y");
  StalledRun first({tree}, home.Path());
  first.WaitForLock(home / "krelby.dat.lock");
  const KrelbyRun second = Run({"-q", home / "y"});
  EXPECT_EQ(second.result.status, 255);
  EXPECT_TRUE(EndsWith(second.result.out, InUse("krelby.dat")));
  EXPECT_FALSE(Exists(home / "krelby.dat")) << "the first run has not saved yet";

  const auto [status, out] = first.Finish();
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("81 entries - 80 dupes"), std::string::npos) << out;
  EXPECT_EQ(ParseDatabase(ReadFile(home / "krelby.dat")).pathCount, 81u);
  // Now that the first is done, the second may run, and both results are kept.
  EXPECT_EQ(Run({"-q", home / "y"}).entries, 82u);
}

TEST_F(Lock, TwoDatabasesInOneDirectoryAreUsedAtOnce) {
  WriteBusyTree(tree);
  WriteFile(home / "y/one", "a file of y");
  StalledRun first({"-l", "a.dat", tree}, home.Path());
  first.WaitForLock(home / "a.dat.lock");
  EXPECT_EQ(Run({"-ql", "b.dat", home / "y"}).result.status, 0);
  EXPECT_EQ(first.Finish().first, 0);
  EXPECT_EQ(ParseDatabase(ReadFile(home / "a.dat")).pathCount, 81u);
  EXPECT_EQ(ParseDatabase(ReadFile(home / "b.dat")).pathCount, 1u);
  EXPECT_EQ(Listing(home.Path()),
            (std::vector<std::string>{"a.dat", "a.dat.lock", "b.dat", "b.dat.lock", "tree", "y"}));
}

// A killed run leaves no lock behind, and the next run removes the temporary files a killed save
// leaves, and nothing else.
TEST_F(Lock, AfterAKilledRunTheNextSucceedsAndRemovesLeftoverTemporaries) {
  WriteFile(home / "small/a", "known before");
  ASSERT_EQ(Run({"-q", home / "small"}).result.status, 0);
  WriteBusyTree(tree);
  {
    StalledRun killed({tree}, home.Path());
    killed.WaitForLock(home / "krelby.dat.lock");
    killed.Kill();
  }
  const std::string database = ReadFile(home / "krelby.dat");
  WriteFile(home / "krelby.dat.tmpAb3xZ9", database.substr(0, database.size() / 2));  // as a killed save
  const std::vector<std::string> kept = {"krelby.dat.tmp",        "krelby.dat.tmp12345", "krelby.dat.tmp1234567",
                                         "krelby.dat.tmpAb-xZ9", "other.dat.tmpAb3xZ9", "krelby.datstmpAb3xZ9"};
  for (const std::string& name : kept) {
    WriteFile(home / name, "not a temporary of this database");
  }
  MakeDirs(home / "krelby.dat.tmpDirect");
  WriteFile(home / "victim", "the target of a link");
  ASSERT_EQ(symlink("victim", (home / "krelby.dat.tmpLinkTo").c_str()), 0);
  ASSERT_EQ(mkfifo((home / "krelby.dat.tmpAFifo0").c_str(), 0644), 0);
  WriteFile(home / "krelby.dat.tmpNamed1", "a database named like a temporary");
  WriteFile(home / "krelby.dat.tmpNamed1.lock", "");
  std::vector<std::string> expected = Listing(home.Path());
  std::erase(expected, "krelby.dat.tmpAb3xZ9");

  const KrelbyRun next = Run({"-q", tree});
  EXPECT_EQ(next.result.status, 0);
  EXPECT_EQ(next.entries, 82u);
  EXPECT_EQ(Listing(home.Path()), expected);
  EXPECT_EQ(ReadFile(home / "victim"), "the target of a link");
}

// A reference database in a directory this run may not write: no lock file can be made there, and
// the run goes on; where one exists already, it is locked all the same.
TEST_F(Lock, AReadOnlyReferenceDatabaseIsLoadedWithoutALockFile) {
  ASSERT_EQ(chmod(home.Path().c_str(), 0755), 0);
  WriteFile(tree + "/a", "alpha");
  MakeDirs(home / "ref");
  ASSERT_EQ(Run({"-l", "ref/ref.dat", tree}).result.status, 0);
  ASSERT_EQ(unlink((home / "ref/ref.dat.lock").c_str()), 0);
  const KrelbyRun run = Run({"-nl", "ref/ref.dat", tree}, {.uid = kNobody});
  EXPECT_EQ(run.result.status, 0);
  EXPECT_EQ(run.bytes, 0u) << "everything known from the reference";
  EXPECT_EQ(Listing(home / "ref"), std::vector<std::string>{"ref.dat"});

  WriteFile(home / "ref/ref.dat.lock", "");  // root's, 0644: nobody may read it, not write it
  const HeldLock held(home / "ref/ref.dat.lock");
  const KrelbyRun refused = Run({"-nl", "ref/ref.dat", tree}, {.uid = kNobody});
  EXPECT_EQ(refused.result.status, 255);
  EXPECT_TRUE(EndsWith(refused.result.out, InUse("ref/ref.dat")));
}

}  // namespace
