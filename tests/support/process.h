// Runs a program of the project as a child process with its standard streams captured, for
// tests that check the built program from outside.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace drav_test {

/// A child process started in `folder` with `arguments` (the program path first). Its
/// standard input is a pipe; standard output and standard error go to files of the folder.
/// The destructor kills it if still running.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments, const std::string& folder);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Writes `bytes` to the child's standard input, then closes it (end of file for the child).
  void close_stdin(const std::string& bytes = "");
  /// Sends a signal to the child.
  void signal(int signal_number);
  /// Waits at most `timeout_ms` for the child to end; returns true when it ended.
  bool wait(int timeout_ms);
  /// The exit status after a normal end, or -1 (killed by a signal, or still running).
  int exit_status() const { return exit_status_; }
  /// Everything the child wrote to standard output / standard error so far.
  std::string stdout_text() const;
  std::string stderr_text() const;

 private:
  pid_t pid_ = -1;  // -1 once the child has ended
  int stdin_fd_ = -1;
  int exit_status_ = -1;
  std::string folder_;
};

}  // namespace drav_test
