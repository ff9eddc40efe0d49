// The file layer: every file and directory operation of the system over the
// POSIX calls. Paths arrive as UTF-8 text (a file! value's name as the
// operating system takes it); a path holding a NUL character names no file
// and fails like a missing one.
//
// Reads and writes loop over short transfers (and EINTR) until the whole
// count has moved, so a pipe, a terminal or a slow file gives the same bytes
// as a disk file. A file that reports size 0 (pipes, /proc, /sys) is read to
// its end all the same. Text is written as it stands: line ends are LF.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::simple_io {

// Open modes, a bit set: read opens an existing file; any other mode opens
// for writing, creating the file, truncating it unless append or keep is
// set (keep writes at a position inside the existing content).
enum OpenMode : int {
  kModeRead = 1,
  kModeWrite = 2,
  kModeAppend = 4,
  kModeKeep = 8,
};

// A file descriptor, or -1.
int open_file(std::string_view path, int mode);
// The size in bytes the system reports (0 for pipes and most of /proc), or
// -1 on failure.
int64_t file_size(int fd);
// Sets the position from the start of the file; false when the file cannot
// seek (a pipe).
bool seek_file(int fd, int64_t offset);
// Reads up to count bytes, looping until count bytes came or the end was
// met; the bytes read, or -1 when a read fails.
int64_t read_data(int fd, uint8_t* buffer, size_t count);
// Writes all count bytes; count, or -1 when a write fails.
int64_t write_data(int fd, const uint8_t* buffer, size_t count);
void close_file(int fd);

// Closes the descriptor when the scope ends.
class FileGuard {
 public:
  explicit FileGuard(int fd) : fd_(fd) {}
  ~FileGuard() {
    if (fd_ >= 0) close_file(fd_);
  }
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Where read_into puts a file's bytes: room answers space for n more bytes
// after those received so far (null when it cannot hold them), received
// counts n of them as filled.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual uint8_t* room(size_t n) = 0;
  virtual void received(size_t n) = 0;
};

// Reads a file into the sink: from byte seek (absent below 0) on, at most
// part bytes (absent below 0; 0 reads nothing). False when the file cannot
// be opened, a read fails or the sink has no room; a seek past the end reads
// no bytes.
bool read_into(std::string_view path, int64_t part, int64_t seek, ByteSink& sink);
// The same into a vector; nothing on failure.
std::optional<std::vector<uint8_t>> read_bytes(std::string_view path, int64_t part, int64_t seek);
// Appends what the stream holds from its position to its end; false when a
// read fails.
bool read_stream(std::FILE* stream, std::string* out);
// Appends the whole content of a file; false when it cannot be opened or
// read (a directory fails).
bool read_whole_file(const std::string& path, std::string* out);

// Writes the pieces one after the other into the file: opened with the mode
// bits (append, keep) of a write, positioned at seek when it is above 0.
// False when the file cannot be opened or a write fails.
bool write_pieces(std::string_view path, bool append, int64_t seek,
                  const std::vector<std::string_view>& pieces);
// The same to the process's standard output.
bool write_stdout(const std::vector<std::string_view>& pieces);

// Whether a name (its characters, last three looked at) names a directory:
// it ends in "/", or it is "." or "..", or it ends in "/." or "/..".
bool dir_q(std::string_view name);

// The entries of a directory other than "." and "..", sorted by their bytes,
// each directory's name followed by "/". Nothing when it cannot be read.
std::optional<std::vector<std::string>> read_dir(std::string_view path);

// A moment in UTC.
struct FileTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
  int32_t nanosecond = 0;
};
// The last modification time of a file. Nothing when it does not exist, or
// when as_dir is set (the name ends in "/") and it is not a directory.
std::optional<FileTime> query(std::string_view path, bool as_dir);

// Removes a directory (dir set) or a file; false when the system refuses.
bool delete_(std::string_view path, bool dir);
// Renames without replacing: false when the target exists (it is kept).
bool rename(std::string_view from, std::string_view to);
bool make_dir(std::string_view path);
bool file_exists_q(std::string_view path);

// Text read from a file: CR LF and a CR alone become LF.
void normalise_line_ends(std::vector<uint8_t>& bytes);

}  // namespace kiv::simple_io
