#include "tests/support/run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

void Drain(int outFd, int errFd, ProgramResult& result) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  char chunk[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        continue;
      }
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        sinks[i]->append(chunk, static_cast<std::size_t>(n));
      }
    }
  }
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options,
                         const char* arg0) {
  ProgramResult result;
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    return result;
  }
  std::vector<std::string> words;
  words.push_back(arg0 != nullptr ? arg0 : program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) {
    argv.push_back(w.data());
  }
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
      _exit(126);
    }
    for (const std::string& setting : options.env) {
      putenv(strdup(setting.c_str()));
    }
    if (options.uid != 0) {
      if (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 || setuid(options.uid) != 0) {
        _exit(125);
      }
    }
    if (options.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);  // stays ignored across exec: writes fail with EFBIG instead
      const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    alarm(options.timeoutSeconds);  // survives exec: a hanging program ends with SIGALRM
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Drain(out[0], err[0], result);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}
