#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support.h"

namespace drav_test {

namespace {

// Copies everything that arrives on `fd` to the file at `path` until the writers are gone.
void copy_to_file(int fd, const std::string& path) {
  const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    [[maybe_unused]] ssize_t written = write(out, buffer, static_cast<std::size_t>(got));
  }
  close(out);
  close(fd);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& folder,
                           bool stdout_pipe)
    : stdout_path_(folder + "/.child-stdout"), stderr_path_(folder + "/.child-stderr") {
  int stdin_pipe[2];
  if (pipe(stdin_pipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  int stdout_fds[2] = {-1, -1};
  if (stdout_pipe && pipe2(stdout_fds, O_CLOEXEC) != 0) {
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
    const int out = stdout_pipe ? stdout_fds[1]
                                : open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
  if (stdout_pipe) {
    close(stdout_fds[1]);
    stdout_copier_ = std::thread(copy_to_file, stdout_fds[0], stdout_path_);
  }
}

ChildProcess::~ChildProcess() {
  close_stdin();
  if (!ended_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdout_copier_.joinable()) {
    stdout_copier_.join();
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
    if (stdout_copier_.joinable()) {
      stdout_copier_.join();  // everything the child wrote is in the file from here on
    }
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
