// Starting the real program (under Wine for orv.exe) as a child process, for program tests.
#pragma once

#include <string>
#include <vector>

namespace orv_test {

bool under_wine();           // ORV_WINE=1: the program is orv.exe, run through wine
std::string program_path();  // ORV_PROGRAM

struct Child {
  int pid = -1;
  std::string out_path, err_path;
};
// Standard descriptors of a child other than the usual ones.
struct ChildStreams {
  int stderr_fd = -1;           // set: the child's stderr is a copy of this descriptor
  bool close_standard = false;  // descriptors 0, 1 and 2 closed
};
// Starts argv (wine in front under Wine) with extra "NAME=value" environment entries; stdin is
// /dev/null, stdout and stderr go to files in out_dir, never pipes, unless streams says
// otherwise. SIGPIPE has its default action in the child, whatever the test runner set.
Child spawn_child(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra,
                  const std::string& out_dir, const ChildStreams& streams = {});
// The exit code, 128 + the signal for a child a signal ended, or -1 after killing it on timeout.
int wait_child(Child& child, int timeout_ms);
void signal_child(const Child& child, int signal_number);
std::string read_text(const std::string& path);
// Polls the file until it holds the text; false after timeout_ms.
bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms);

// Loopback helpers for talking to the running program.
int free_port();
int connect_to(int port);  // -1 on failure
// Reads until `count` bytes arrived, the stream ended or five seconds passed.
std::string receive(int socket, std::size_t count);

}  // namespace orv_test
