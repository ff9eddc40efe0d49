#include "runtime/host/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <thread>

extern char** environ;

namespace kiv::os {

namespace {

constexpr size_t kPipeChunk = size_t{64} << 10;

// A file descriptor closed when the scope ends (or when reset).
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Both ends of a new pipe, closed on exec (the child receives its end as a
// standard stream through dup2, which clears the flag).
bool make_pipe(Fd* read_end, Fd* write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end->reset(fds[0]);
  write_end->reset(fds[1]);
  return true;
}

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }
  void dup2(int fd, int target) { posix_spawn_file_actions_adddup2(&actions_, fd, target); }

 private:
  posix_spawn_file_actions_t actions_;
};

// The child starts with no blocked signal and with the default action for
// SIGPIPE and SIGCHLD, whatever the calling thread has.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// SIGPIPE is held back on this thread while the child's input is written: a
// child that stops reading makes the write fail with EPIPE instead of ending
// the process. A signal left pending is taken before the mask is restored.
class PipeSignalGuard {
 public:
  PipeSignalGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~PipeSignalGuard() {
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) && !sigismember(&old_, SIGPIPE)) {
      struct timespec zero = {0, 0};
      while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t pipe_, old_;
};

void wait_for(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0) {
    if (errno != EINTR) {
      *status = -1;
      return;
    }
  }
}

// A child nobody waits for is waited for by a thread of its own, so it never
// lingers as a zombie.
void reap_later(pid_t pid) {
  try {
    std::thread([pid] {
      int status;
      wait_for(pid, &status);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the child stays a zombie until the process ends.
  }
}

int exit_code(int status) {
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Starts the program; the error number of the failure, or 0.
int spawn(const std::vector<std::string>& arguments, FileActions& actions, pid_t* pid) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  SpawnAttributes attributes;
  return posix_spawnp(pid, argv[0], actions.get(), attributes.get(), argv.data(), environ);
}

std::vector<std::string> shell_line(const std::string& command) { return {"/bin/sh", "-c", command}; }

void set_non_blocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Feeds the input and drains output and error, all at once, until the child
// has closed its ends of the pipes.
void exchange(Fd& input, const std::string& data, Fd& output, std::string* out, Fd& error, std::string* err) {
  PipeSignalGuard guard;
  size_t sent = 0;
  if (input.open() && data.empty()) input.reset();
  for (Fd* fd : {&input, &output, &error})
    if (fd->open()) set_non_blocking(fd->get());
  std::string chunk(kPipeChunk, '\0');
  while (input.open() || output.open() || error.open()) {
    struct pollfd polled[3];
    Fd* owners[3];
    std::string* sinks[3];
    nfds_t n = 0;
    if (input.open()) {
      polled[n] = {input.get(), POLLOUT, 0};
      owners[n] = &input;
      sinks[n++] = nullptr;
    }
    if (output.open()) {
      polled[n] = {output.get(), POLLIN, 0};
      owners[n] = &output;
      sinks[n++] = out;
    }
    if (error.open()) {
      polled[n] = {error.get(), POLLIN, 0};
      owners[n] = &error;
      sinks[n++] = err;
    }
    if (poll(polled, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (!polled[i].revents) continue;
      Fd* fd = owners[i];
      if (!sinks[i]) {
        ssize_t w = ::write(fd->get(), data.data() + sent, std::min(kPipeChunk, data.size() - sent));
        if (w < 0) {
          // EPIPE: the child no longer reads; the rest of the input is dropped.
          if (errno != EAGAIN && errno != EINTR) fd->reset();
          continue;
        }
        sent += static_cast<size_t>(w);
        if (sent == data.size()) fd->reset();
        continue;
      }
      ssize_t r = ::read(fd->get(), chunk.data(), chunk.size());
      if (r > 0) {
        sinks[i]->append(chunk.data(), static_cast<size_t>(r));
      } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        fd->reset();
      }
    }
  }
}

}  // namespace

std::vector<std::string> split_arguments(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  size_t i = 0, n = command.size();
  while (i < n) {
    char c = command[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      ++i;
      continue;
    }
    in_word = true;
    if (c == '\'') {
      size_t end = command.find('\'', i + 1);
      if (end == std::string_view::npos) end = n;
      word.append(command.substr(i + 1, end - i - 1));
      i = end + 1;
    } else if (c == '"') {
      ++i;
      while (i < n && command[i] != '"') {
        if (command[i] == '\\' && i + 1 < n && (command[i + 1] == '"' || command[i + 1] == '\\')) ++i;
        word.push_back(command[i++]);
      }
      ++i;
    } else if (c == '\\' && i + 1 < n) {
      word.push_back(command[i + 1]);
      i += 2;
    } else {
      word.push_back(c);
      ++i;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

int64_t run_process(ProcessRequest& request) {
  using Kind = Redirect::Kind;
  Fd null_device;
  auto null_fd = [&null_device]() {
    if (!null_device.open()) null_device.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
    return null_device.get();
  };
  FileActions actions;
  Fd in_child, in_parent, out_child, out_parent, err_child, err_parent;

  switch (request.input.kind) {
    case Kind::kData:
      if (!make_pipe(&in_child, &in_parent)) return -1;
      actions.dup2(in_child.get(), STDIN_FILENO);
      break;
    case Kind::kFile:
      in_child.reset(::open(request.input.path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!in_child.open()) return -1;
      actions.dup2(in_child.get(), STDIN_FILENO);
      break;
    default:
      break;
  }
  struct Stream {
    Redirect* redirect;
    Fd* child;
    Fd* parent;
    int target;
  };
  for (Stream s : {Stream{&request.output, &out_child, &out_parent, STDOUT_FILENO},
                   Stream{&request.error, &err_child, &err_parent, STDERR_FILENO}}) {
    switch (s.redirect->kind) {
      case Kind::kData:
        s.redirect->data.clear();
        if (!make_pipe(s.parent, s.child)) return -1;
        actions.dup2(s.child->get(), s.target);
        break;
      case Kind::kFile:
        // A file that cannot be opened leaves the stream on the null device.
        s.child->reset(::open(s.redirect->path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
        actions.dup2(s.child->open() ? s.child->get() : null_fd(), s.target);
        break;
      case Kind::kDefault:
        actions.dup2(null_fd(), s.target);
        break;
      case Kind::kConsole:
        break;
    }
  }
  bool wait = request.wait;
  for (const Redirect* r : {&request.input, &request.output, &request.error})
    if (r->kind != Kind::kDefault) wait = true;

  std::vector<std::string> arguments;
  if (!request.shell) arguments = split_arguments(request.command);
  bool shell = request.shell || arguments.empty();
  if (shell) arguments = shell_line(request.command);
  pid_t pid;
  int failure = spawn(arguments, actions, &pid);
  if (failure == ENOENT && !shell) failure = spawn(shell_line(request.command), actions, &pid);
  if (failure != 0) return -1;
  in_child.reset();
  out_child.reset();
  err_child.reset();

  exchange(in_parent, request.input.data, out_parent, &request.output.data, err_parent, &request.error.data);
  if (!wait) {
    reap_later(pid);
    return pid;
  }
  int status;
  wait_for(pid, &status);
  return exit_code(status);
}

bool spawn_detached(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return false;
  Fd null_device(::open("/dev/null", O_RDWR | O_CLOEXEC));
  FileActions actions;
  if (null_device.open())
    for (int target : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) actions.dup2(null_device.get(), target);
  pid_t pid;
  if (spawn(arguments, actions, &pid) != 0) return false;
  reap_later(pid);
  return true;
}

}  // namespace kiv::os
