// Deletions never take the last name of what they keep: real trees, real runs of krelby, with
// the same content reached through linked and mounted directories, hard and symbolic links, and
// a tree changed between a confirmation and its deletion.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/krelby_run.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kPrecious = "precious photo bytes\n";

bool Holds(const std::string& path) { return Exists(path) && ReadFile(path) == kPrecious; }

// A directory of its own, with a database in it.
struct Sandbox {
  // krelby with the test's database, from the test's directory.
  KrelbyRun Krelby(const std::string& flags, const std::string& directory = "") {
    RunOptions options;
    options.directory = t.Path();
    std::vector<std::string> args{flags + "l", db};
    if (!directory.empty()) {
      args.push_back(t / directory);
    }
    KrelbyRun run = RunKrelby(args, options);
    EXPECT_EQ(run.result.status, 0) << run.result.out;
    return run;
  }
  void Link(const std::string& from, const std::string& to) { ASSERT_EQ(link((t / from).c_str(), (t / to).c_str()), 0); }
  void Symlink(const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(target.c_str(), (t / name).c_str()), 0);
  }
  void Move(const std::string& from, const std::string& to) {
    ASSERT_EQ(rename((t / from).c_str(), (t / to).c_str()), 0);
  }

  ScopedTempDir t;
  std::string db = t / "db.dat";
};

// srv/photos/x and its hard link y are known; then the directory moves to big/ and srv/photos
// becomes a symbolic link to it, so that every name has a second path through srv.
void MovedBehindALink(Sandbox& run) {
  WriteFile(run.t / "srv/photos/x", kPrecious);
  run.Link("srv/photos/x", "srv/photos/y");
  run.Krelby("-", "srv");
  MakeDirs(run.t / "big");
  run.Move("srv/photos", "big/photos");
  run.Symlink(run.t / "big/photos", "srv/photos");
}

// k/link, a symbolic link to h/a, is known; then h/a gets a second name, h/b.
void KeptLinkToTwoNames(Sandbox& run) {
  WriteFile(run.t / "h/a", kPrecious);
  MakeDirs(run.t / "k");
  run.Symlink(run.t / "h/a", "k/link");
  run.Krelby("-", "k");
  run.Link("h/a", "h/b");
}

int Holding(const Sandbox& run, const std::vector<std::string>& names) {
  int holding = 0;
  for (const std::string& name : names) {
    holding += Holds(run.t / name) ? 1 : 0;
  }
  return holding;
}

void KeptLinkStillLeadsToOneName(const Sandbox& r) {
  EXPECT_TRUE(Holds(r.t / "k/link"));
  EXPECT_EQ(Holding(r, {"h/a", "h/b"}), 1);
}

TEST(DeletionRun, NoDeletionTakesTheLastNameOfWhatItKeeps) {
  struct Case {
    const char* why;
    std::function<void(Sandbox&)> run;            // the tree and the runs, the deleting one last
    std::function<void(const Sandbox&)> check;
  };
  const Case cases[] = {
      {"a directory reached through a link, then the purge: one name stays",
       [](Sandbox& r) {
         MovedBehindALink(r);
         r.Krelby("-", "big");
         r.Krelby("-r");
       },
       [](const Sandbox& r) { EXPECT_EQ(Holding(r, {"big/photos/x", "big/photos/y"}), 1); }},
      {"a directory reached through a link, scanned with d: each new path is a known file",
       [](Sandbox& r) {
         MovedBehindALink(r);
         const KrelbyRun scan = r.Krelby("-d", "big");
         EXPECT_EQ(scan.result.out.find("DELETED"), std::string::npos) << scan.result.out;
       },
       [](const Sandbox& r) { EXPECT_EQ(Holding(r, {"big/photos/x", "big/photos/y"}), 2); }},
      {"hard links in one directory, d: one name goes, one stays",
       [](Sandbox& r) {
         WriteFile(r.t / "d/a", kPrecious);
         r.Link("d/a", "d/b");
         r.Krelby("-d", "d");
       },
       [](const Sandbox& r) { EXPECT_EQ(Holding(r, {"d/a", "d/b"}), 1); }},
      {"hard links in two directories, then the purge: one name goes, one stays",
       [](Sandbox& r) {
         WriteFile(r.t / "d1/a", kPrecious);
         MakeDirs(r.t / "d2");
         r.Link("d1/a", "d2/b");
         r.Krelby("-", "d1");
         r.Krelby("-", "d2");
         r.Krelby("-r");
       },
       [](const Sandbox& r) { EXPECT_EQ(Holding(r, {"d1/a", "d2/b"}), 1); }},
      {"a symbolic link to a file, d and purge: the file is the link's own target",
       [](Sandbox& r) {
         WriteFile(r.t / "d/x", kPrecious);
         r.Symlink("x", "d/link");
         r.Krelby("-d", "d");
         r.Krelby("-r");
       },
       [](const Sandbox& r) { EXPECT_TRUE(Holds(r.t / "d/x") && Holds(r.t / "d/link")); }},
      // The link count of the kept copy's file drops with each deletion: only a status taken
      // right before the decision shows that the last name is about to go.
      {"a kept link to a file with two names, then the purge: the link still leads to it",
       [](Sandbox& r) {
         KeptLinkToTwoNames(r);
         r.Krelby("-", "h");
         r.Krelby("-r");
       },
       KeptLinkStillLeadsToOneName},
      {"the same, scanned with d",
       [](Sandbox& r) {
         KeptLinkToTwoNames(r);
         r.Krelby("-d", "h");
       },
       KeptLinkStillLeadsToOneName},
      {"a link to a directory outside the tree is not entered, so nothing there is deleted",
       [](Sandbox& r) {
         WriteFile(r.t / "tree/x", kPrecious);
         WriteFile(r.t / "outside/y", kPrecious);
         r.Symlink(r.t / "outside", "tree/link");
         r.Krelby("-d", "tree");
       },
       [](const Sandbox& r) { EXPECT_TRUE(Holds(r.t / "tree/x") && Holds(r.t / "outside/y")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Sandbox run;
    c.run(run);
    c.check(run);
  }
}

// A second mount of a directory shows its entries again, with the same directory identity.
TEST(DeletionRun, ABindMountIsTheSameDirectory) {
  Sandbox s;
  ScopedTempDir& t = s.t;
  WriteFile(t / "real/x", kPrecious);
  MakeDirs(t / "bound");
  MakeDirs(t / "elsewhere");
  s.Link("real/x", "elsewhere/z");  // a second name the database never sees: x has two links
  s.Krelby("-", "real");
  if (mount((t / "real").c_str(), (t / "bound").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount here";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { (void)umount2(at.c_str(), MNT_DETACH); }
  } unmount{t / "bound"};
  const KrelbyRun scan = s.Krelby("-d", "bound");
  EXPECT_EQ(scan.dupes, 0u) << scan.result.out;
  s.Krelby("-r");
  EXPECT_TRUE(Holds(t / "real/x"));
}

// Stops krelby between a confirmation and its deletion, lets `change` alter the tree, and lets
// it go on; returns its output.
std::string RunPausedAtTheDeletion(const std::string& directory, const std::vector<std::string>& args,
                                   const std::function<void()>& change) {
  const std::string out = directory + "/out.txt";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(directory.c_str()) != 0 || freopen(out.c_str(), "w", stdout) == nullptr) {
      _exit(126);
    }
    std::vector<char*> argv{const_cast<char*>("krelby")};
    for (const std::string& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    alarm(60);
    execv(KRELBY_PAUSING_PATH, argv.data());
    _exit(127);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  EXPECT_TRUE(WIFSTOPPED(status)) << "no deletion was reached";
  if (WIFSTOPPED(status)) {
    change();
    kill(pid, SIGCONT);
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return ReadFile(out);
}

// Between the confirmation and the deletion, the duplicate's directory is swapped for a link to
// another directory with a copy of its own, or the duplicate's name is given to another file:
// the recorded path now leads elsewhere, so nothing is deleted, here or there.
TEST(DeletionRun, APathChangedBeforeTheDeletionKeepsEverything) {
  struct Case {
    const char* why;
    bool purge;
    bool swapDirectory;  // else the file is renamed and another takes its name
  };
  const Case cases[] = {
      {"scan with d, directory swapped", false, true},
      {"purge, directory swapped", true, true},
      {"scan with d, name given to another file", false, false},
      {"purge, name given to another file", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Sandbox r;
    WriteFile(r.t / "keep/k", kPrecious);
    WriteFile(r.t / "scan/sub/dup", kPrecious);
    WriteFile(r.t / "elsewhere/dup", kPrecious);
    r.Krelby("-", "keep");
    if (c.purge) {
      r.Krelby("-", "scan");
    }
    const std::vector<std::string> args =
        c.purge ? std::vector<std::string>{"-rl", r.db} : std::vector<std::string>{"-dl", r.db, r.t / "scan"};
    const std::string out = RunPausedAtTheDeletion(r.t.Path(), args, [&] {
      if (c.swapDirectory) {
        r.Move("scan/sub", "scan/moved");
        r.Symlink(r.t / "elsewhere", "scan/sub");
      } else {
        r.Move("scan/sub/dup", "scan/sub/old");
        WriteFile(r.t / "scan/sub/dup", kPrecious);
      }
    });
    EXPECT_EQ(out.find("DELETED"), std::string::npos) << out;
    EXPECT_NE(out.find(" 0 dupes"), std::string::npos) << out;
    EXPECT_TRUE(Holds(r.t / "keep/k") && Holds(r.t / "elsewhere/dup") && Holds(r.t / "scan/sub/dup"));
    EXPECT_TRUE(Holds(r.t / (c.swapDirectory ? "scan/moved/dup" : "scan/sub/old")));
  }
}

}  // namespace
