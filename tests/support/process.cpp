#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "support.h"

namespace drav_test {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& folder)
    : stdout_path_(folder + "/.child-stdout"), stderr_path_(folder + "/.child-stderr") {
  int stdin_pipe[2];
  if (pipe(stdin_pipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_ = fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    dup2(stdin_pipe[0], STDIN_FILENO);
    close(stdin_pipe[0]);
    close(stdin_pipe[1]);
    const int out = open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (chdir(folder.c_str()) != 0) {
      _exit(126);
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(stdin_pipe[0]);
  stdin_fd_ = stdin_pipe[1];
}

ChildProcess::~ChildProcess() {
  close_stdin();
  if (!ended_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::write_stdin(const std::string& bytes) {
  if (stdin_fd_ >= 0 && !bytes.empty()) {
    [[maybe_unused]] ssize_t written = ::write(stdin_fd_, bytes.data(), bytes.size());
  }
}

void ChildProcess::close_stdin() {
  if (stdin_fd_ >= 0) {
    close(stdin_fd_);
    stdin_fd_ = -1;
  }
}

void ChildProcess::signal(int signal_number) {
  if (!ended_ && pid_ > 0) {
    kill(pid_, signal_number);
  }
}

bool ChildProcess::running() {
  if (ended_) {
    return false;
  }
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  return true;
}

bool ChildProcess::wait(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string ChildProcess::stdout_text() const {
  return read_file(stdout_path_);
}
std::string ChildProcess::stderr_text() const {
  return read_file(stderr_path_);
}

}  // namespace drav_test
