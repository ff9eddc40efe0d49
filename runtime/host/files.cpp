#include "runtime/host/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace kiv::simple_io {

namespace {

// Chunk of the reads of a file whose size is unknown.
constexpr size_t kReadChunk = size_t{64} << 10;

// The path as a C string; nothing when it holds a NUL (the system would read
// a shorter name than the one asked for).
std::optional<std::string> c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  return std::string(path);
}

}  // namespace

int open_file(std::string_view path, int mode) {
  std::optional<std::string> p = c_path(path);
  if (!p) return -1;
  int flags = O_CLOEXEC;
  if (mode & kModeRead) {
    flags |= O_RDONLY;
  } else {
    flags |= O_WRONLY | O_CREAT;
    if (mode & kModeAppend) flags |= O_APPEND;
    else if (!(mode & kModeKeep)) flags |= O_TRUNC;
  }
  int fd;
  do {
    fd = ::open(p->c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int64_t file_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

bool seek_file(int fd, int64_t offset) { return lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0; }

int64_t read_data(int fd, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd, buffer + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t write_data(int fd, const uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd, buffer + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

void close_file(int fd) { ::close(fd); }

bool read_into(std::string_view path, int64_t part, int64_t seek, ByteSink& sink) {
  FileGuard file(open_file(path, kModeRead));
  if (file.get() < 0) return false;
  struct stat st;
  if (fstat(file.get(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  if (part == 0) return true;
  if (seek > 0 && !seek_file(file.get(), seek)) {
    // A file that cannot seek (a pipe) is read past the skipped bytes.
    std::vector<uint8_t> skipped(kReadChunk);
    for (int64_t left = seek; left > 0;) {
      size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(kReadChunk)));
      int64_t got = read_data(file.get(), skipped.data(), n);
      if (got < 0) return false;
      if (got == 0) return true;
      left -= got;
    }
  }
  // The reported size is only a first guess: the file is read to its end
  // (or to part bytes), whatever it reported. One byte more than the guess
  // is asked for, so that a file of the reported size ends in one read.
  size_t expected = S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
  if (seek > 0) expected = expected > static_cast<size_t>(seek) ? expected - static_cast<size_t>(seek) : 0;
  size_t limit = part > 0 ? static_cast<size_t>(part) : SIZE_MAX;
  size_t have = 0;
  for (;;) {
    size_t ask = std::min(limit - have, std::max(expected + 1 - std::min(expected, have), kReadChunk));
    uint8_t* p = sink.room(ask);
    if (!p) return false;
    int64_t got = read_data(file.get(), p, ask);
    if (got < 0) return false;
    sink.received(static_cast<size_t>(got));
    have += static_cast<size_t>(got);
    if (static_cast<size_t>(got) < ask || have >= limit) return true;
    expected = have * 2;
  }
}

std::optional<std::vector<uint8_t>> read_bytes(std::string_view path, int64_t part, int64_t seek) {
  class VectorSink : public ByteSink {
   public:
    std::vector<uint8_t> bytes;
    size_t used = 0;
    uint8_t* room(size_t n) override {
      bytes.resize(used + n);
      return bytes.data() + used;
    }
    void received(size_t n) override {
      used += n;
      bytes.resize(used);
    }
  } sink;
  if (!read_into(path, part, seek, sink)) return std::nullopt;
  return std::move(sink.bytes);
}

bool read_stream(std::FILE* stream, std::string* out) {
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) out->append(buffer, n);
  return !std::ferror(stream);
}

bool read_whole_file(const std::string& path, std::string* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bool ok = read_stream(f, out);
  std::fclose(f);
  return ok;
}

namespace {

bool write_all(int fd, const std::vector<std::string_view>& pieces) {
  for (std::string_view piece : pieces)
    if (write_data(fd, reinterpret_cast<const uint8_t*>(piece.data()), piece.size()) < 0) return false;
  return true;
}

}  // namespace

bool write_pieces(std::string_view path, bool append, int64_t seek,
                  const std::vector<std::string_view>& pieces) {
  int mode = kModeWrite | (append ? kModeAppend : 0) | (seek >= 0 ? kModeKeep : 0);
  FileGuard file(open_file(path, mode));
  if (file.get() < 0) return false;
  if (seek > 0 && !append && !seek_file(file.get(), seek)) return false;
  return write_all(file.get(), pieces);
}

bool write_stdout(const std::vector<std::string_view>& pieces) { return write_all(STDOUT_FILENO, pieces); }

bool dir_q(std::string_view name) {
  size_t n = name.size();
  if (n == 0) return false;
  char c1 = name[n - 1];
  char c2 = n >= 2 ? name[n - 2] : 0;
  char c3 = n >= 3 ? name[n - 3] : 0;
  if (c1 == '/' || c1 == '\\') return true;
  if (c1 != '.') return false;
  if (n == 1 || c2 == '/' || c2 == '\\') return true;
  return c2 == '.' && (n == 2 || c3 == '/' || c3 == '\\');
}

std::optional<std::vector<std::string>> read_dir(std::string_view path) {
  std::optional<std::string> p = c_path(path);
  if (!p) return std::nullopt;
  DIR* dir = opendir(p->c_str());
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  int dir_fd = dirfd(dir);
  while (struct dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      // A link to a directory lists as a directory, as the system opens it.
      struct stat st;
      is_dir = fstatat(dir_fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    names.emplace_back(name);
    if (is_dir) names.back().push_back('/');
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<FileTime> query(std::string_view path, bool as_dir) {
  std::optional<std::string> p = c_path(path);
  if (!p) return std::nullopt;
  struct stat st;
  if (stat(p->c_str(), &st) != 0) return std::nullopt;
  if (as_dir && !S_ISDIR(st.st_mode)) return std::nullopt;
  struct tm parts;
  time_t seconds = st.st_mtim.tv_sec;
  if (!gmtime_r(&seconds, &parts)) return std::nullopt;
  FileTime t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  t.nanosecond = static_cast<int32_t>(st.st_mtim.tv_nsec);
  return t;
}

bool delete_(std::string_view path, bool dir) {
  std::optional<std::string> p = c_path(path);
  if (!p) return false;
  return (dir ? ::rmdir(p->c_str()) : ::unlink(p->c_str())) == 0;
}

bool rename(std::string_view from, std::string_view to) {
  std::optional<std::string> a = c_path(from), b = c_path(to);
  if (!a || !b) return false;
  if (::renameat2(AT_FDCWD, a->c_str(), AT_FDCWD, b->c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // The file system cannot refuse an existing target by itself: a file is
  // linked under its new name (refused when that exists) and then unlinked;
  // a directory is renamed only when nothing is found under the new name.
  struct stat st;
  if (lstat(a->c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    if (::link(a->c_str(), b->c_str()) != 0) return false;
    if (::unlink(a->c_str()) == 0) return true;
    ::unlink(b->c_str());
    return false;
  }
  if (lstat(b->c_str(), &st) == 0 || errno != ENOENT) return false;
  return ::rename(a->c_str(), b->c_str()) == 0;
}

bool make_dir(std::string_view path) {
  std::optional<std::string> p = c_path(path);
  return p && ::mkdir(p->c_str(), 0777) == 0;
}

bool file_exists_q(std::string_view path) {
  std::optional<std::string> p = c_path(path);
  struct stat st;
  return p && stat(p->c_str(), &st) == 0;
}

void normalise_line_ends(std::vector<uint8_t>& bytes) {
  auto first = std::find(bytes.begin(), bytes.end(), '\r');
  if (first == bytes.end()) return;
  size_t out = static_cast<size_t>(first - bytes.begin());
  for (size_t i = out; i < bytes.size(); ++i) {
    uint8_t b = bytes[i];
    if (b == '\r') {
      bytes[out++] = '\n';
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      bytes[out++] = b;
    }
  }
  bytes.resize(out);
}

}  // namespace kiv::simple_io
