// Child processes for program tests: spawn, signal, wait with a deadline; loopback sockets.
#include "tests/program/program.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace orv_test {

Child spawn_child(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra,
                  const std::string& out_dir, const ChildStreams& streams) {
  Child child{-1, out_dir + "/stdout.txt", out_dir + "/stderr.txt"};
  std::vector<char*> pointers;  // execvp's, which it does not change
  if (argv[0].ends_with(".exe")) pointers.push_back(const_cast<char*>("wine"));
  for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  if ((child.pid = fork()) != 0) return child;
  // The child (the test runner has no other threads): environment, descriptors, then the program.
  for (const std::string& entry : env_extra) putenv(strdup(entry.c_str()));
  signal(SIGPIPE, SIG_DFL);
  if (streams.stderr_fd >= 0) dup2(streams.stderr_fd, 2);
  for (int fd = 0; fd <= (streams.stderr_fd >= 0 ? 1 : 2); ++fd) close(fd);
  if (!streams.close_standard) {  // each open takes the lowest free descriptor
    open("/dev/null", O_RDONLY);
    open(child.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (streams.stderr_fd < 0) open(child.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  execvp(pointers[0], pointers.data());
  _exit(127);
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (int step = 1; !done(); step = std::min(2 * step, 20)) {  // short waits stay short
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
  }
  return true;
}

int wait_child(Child& child, int timeout_ms) {
  const int pid = std::exchange(child.pid, -1);
  int status = 0;
  if (pid <= 0) return -1;
  if (wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms))
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

}  // namespace orv_test
