#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "support.h"

namespace drav_test {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& folder)
    : folder_(folder) {
  int stdin_pipe[2];
  if (pipe(stdin_pipe) != 0 || (pid_ = fork()) < 0)
    throw std::runtime_error("cannot start " + arguments[0]);
  if (pid_ == 0) {
    // A test killed by its time-out must not leave the program running behind it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(stdin_pipe[0], STDIN_FILENO);
    close(stdin_pipe[1]);
    dup2(open((folder + "/.child-stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open((folder + "/.child-stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (chdir(folder.c_str()) == 0)
      execv(argv[0], argv.data());
    _exit(127);
  }
  close(stdin_pipe[0]);
  stdin_fd_ = stdin_pipe[1];
}

ChildProcess::~ChildProcess() {
  close_stdin();
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::close_stdin(const std::string& bytes) {
  if (stdin_fd_ < 0)
    return;
  [[maybe_unused]] const ssize_t written = ::write(stdin_fd_, bytes.data(), bytes.size());
  close(stdin_fd_);
  stdin_fd_ = -1;
}

void ChildProcess::signal(int signal_number) {
  if (pid_ > 0)
    kill(pid_, signal_number);
}

bool ChildProcess::wait(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid_ > 0)
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pid_ = -1;
  return true;
}

std::string ChildProcess::stdout_text() const {
  return read_file(folder_ + "/.child-stdout");
}
std::string ChildProcess::stderr_text() const {
  return read_file(folder_ + "/.child-stderr");
}

}  // namespace drav_test
