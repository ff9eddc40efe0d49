// size? on real files: the case tables cannot make files of a known size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "runtime/eval/natives.h"
#include "tests/unit/actions_test_support.h"

namespace kiv {
namespace {

constexpr uint32_t kSizeQ = 101;

uint32_t type_of(Cell c) { return TYPE_OF(&c); }

class SizeQ : public testing::CoreTypesTest {
 protected:
  void SetUp() override {
    CoreTypesTest::SetUp();
    char tmpl[] = "/tmp/kiv-size-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)std::system(cmd.c_str());
    CoreTypesTest::TearDown();
  }

  // size? of the file! naming path.
  Cell size_of(const std::string& path) {
    RootedCell name = make_string(path);
    set_type(name.get(), TYPE_FILE);
    return call_native(kSizeQ, {*name.get()});
  }
  std::string make_file(const char* name, size_t bytes) {
    std::string path = dir_ + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    std::string data(bytes, 'x');
    EXPECT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(bytes));
    ::close(fd);
    return path;
  }

  std::string dir_;
};

TEST_F(SizeQ, RegularFileGivesItsByteCount) {
  for (size_t bytes : {size_t{0}, size_t{1}, size_t{70000}}) {
    Cell r = size_of(make_file("data.bin", bytes));
    ASSERT_EQ(TYPE_OF(&r), TYPE_INTEGER) << bytes;
    EXPECT_EQ(static_cast<int32_t>(r.data2), static_cast<int32_t>(bytes));
  }
}

TEST_F(SizeQ, DirectoryWithOrWithoutSlashHasNoSize) {
  EXPECT_EQ(type_of(size_of(dir_)), TYPE_NONE) << "open() succeeds on a directory on Linux";
  EXPECT_EQ(type_of(size_of(dir_ + "/")), TYPE_NONE);
}

TEST_F(SizeQ, FifoWithoutWriterDoesNotBlock) {
  std::string path = dir_ + "/pipe";
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  Cell r = size_of(path);
  ASSERT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(r.data2, 0u);
}

TEST_F(SizeQ, NameWithNulDoesNotReachAnotherFile) {
  std::string path = make_file("real", 10);
  std::string name = path + std::string(1, '\0') + "ignored";
  EXPECT_EQ(type_of(size_of(name)), TYPE_NONE);
}

}  // namespace
}  // namespace kiv
