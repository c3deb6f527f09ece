// Test support: runs a program as a child process with a chosen working
// directory, environment and standard input, and collects what it wrote.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/temp_dir_test.hpp"

namespace tarvel::testing {

// The program that runs the programs under test, such as wine for a
// Windows build; empty when they run directly.
inline constexpr std::string_view kRunner = TARVEL_RUNNER;
// True when the programs under test are Windows programs: no POSIX
// signals, FIFOs, /proc or resource limits reach them.
inline constexpr bool kTestingWindowsBuild = std::string_view(TARVEL_TARGET_SYSTEM) == "Windows";
// How the failure report's line ends: as the system ends lines.
inline const std::string kReportEnd = kTestingWindowsBuild ? "\r\n" : "\n";

struct ChildResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it, if any
};

struct ChildOptions {
  std::string directory;         // working directory; empty: unchanged
  std::vector<std::string> env;  // the whole environment, "NAME=value"
  std::string stdoutPath;        // when set, standard output goes to this file
  std::string stdinPath = {};    // when set, standard input comes from this file
};

inline std::string readAll(int fd) {
  std::string text;
  char block[65536];
  for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;) text.append(block, n);
  return text;
}

// Puts the runner, if there is one, in front of a command (argv[0] a
// path), and adds what it needs to the child's environment `env`.  The
// block copier's override, TARVEL_BLOCK_COPY, goes to every child, so that
// the whole suite can be run once per kernel.
inline void prepareForRunner(std::vector<std::string>& argv, std::vector<std::string>& env) {
  if (const char* method = std::getenv("TARVEL_BLOCK_COPY"))
    env.push_back("TARVEL_BLOCK_COPY=" + std::string(method));
  if (kRunner.empty()) return;
  argv.insert(argv.begin(), std::string(kRunner));
  for (const char* name : {"PATH", "HOME"}) {
    if (const char* value = std::getenv(name)) env.push_back(name + ("=" + std::string(value)));
  }
}

// Runs argv[0] (a path) with argv, through the runner if there is one.
// Standard input is /dev/null unless options.stdinPath names a file.
inline ChildResult runChild(std::vector<std::string> argv, ChildOptions options = {}) {
  prepareForRunner(argv, options.env);
  char outName[] = "/tmp/tarvel-child-out-XXXXXX";
  char errName[] = "/tmp/tarvel-child-err-XXXXXX";
  const int outFd = options.stdoutPath.empty()
                        ? mkstemp(outName)
                        : open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int errFd = mkstemp(errName);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("cannot make capture files");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(
      &actions, 0, options.stdinPath.empty() ? "/dev/null" : options.stdinPath.c_str(), O_RDONLY,
      0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  if (!options.directory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& e : options.env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  int raw = 0;
  waitpid(pid, &raw, 0);

  ChildResult result;
  if (WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) result.signal = WTERMSIG(raw);
  lseek(outFd, 0, SEEK_SET);
  lseek(errFd, 0, SEEK_SET);
  if (options.stdoutPath.empty()) {
    result.out = readAll(outFd);
    unlink(outName);
  }
  result.err = readAll(errFd);
  unlink(errName);
  close(outFd);
  close(errFd);
  return result;
}

}  // namespace tarvel::testing
