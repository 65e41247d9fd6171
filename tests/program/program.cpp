// Child processes for program tests: spawn, signal, wait with a deadline.
#include "tests/program/program.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace orv_test {

bool under_wine() {
  const char* wine = std::getenv("ORV_WINE");
  return wine != nullptr && std::string(wine) == "1";
}

std::string program_path() {
  const char* program = std::getenv("ORV_PROGRAM");
  return program != nullptr ? program : "";
}

Child spawn_child(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra,
                  const std::string& out_dir, const ChildStreams& streams) {
  Child child;
  child.out_path = out_dir + "/stdout.txt";
  child.err_path = out_dir + "/stderr.txt";
  std::vector<std::string> args;
  if (under_wine()) args.push_back("wine");
  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<char*> arg_pointers;
  for (std::string& arg : args) arg_pointers.push_back(arg.data());
  arg_pointers.push_back(nullptr);
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
  env.insert(env.end(), env_extra.begin(), env_extra.end());
  std::vector<char*> env_pointers;
  for (std::string& entry : env) env_pointers.push_back(entry.data());
  env_pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (streams.close_standard) {
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addclose(&actions, fd);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, child.out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (streams.stderr_fd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, streams.stderr_fd, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, child.err_path.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  if (posix_spawnp(&pid, arg_pointers[0], &actions, &attributes, arg_pointers.data(),
                   env_pointers.data()) == 0) {
    child.pid = pid;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

void signal_child(const Child& child, int signal_number) {
  if (child.pid > 0) kill(child.pid, signal_number);
}

int wait_child(Child& child, int timeout_ms) {
  if (child.pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(child.pid, &status, WNOHANG);
    if (done == child.pid) {
      child.pid = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      child.pid = -1;
      return -1;
    }
    // A child's exit cannot be waited on with a timeout portably; poll in short steps.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (read_text(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int free_port() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

int connect_to(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(s);
    return -1;
  }
  return s;
}

std::string receive(int s, std::size_t count) {
  std::string got;
  while (got.size() < count) {
    pollfd entry{s, POLLIN, 0};
    if (poll(&entry, 1, 5000) < 1) break;
    char buffer[4096];
    ssize_t n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

}  // namespace orv_test
