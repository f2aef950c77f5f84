#include "tev/common/tree_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tev {
namespace {

namespace fs = std::filesystem;

class TreeWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tev-tree-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "outside");
    dest_ = root_ / "dest";
  }
  void TearDown() override { fs::remove_all(root_); }

  TreeWriter open() {
    auto w = TreeWriter::open(dest_.string());
    EXPECT_TRUE(w);
    return std::move(*w);
  }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::span<const uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
  }

  fs::path root_, dest_;
};

TEST_F(TreeWriterTest, CreatesDirectoriesAndFilesBelowTheDestination) {
  auto w = open();
  ASSERT_TRUE(w.make_dirs("a/b/c"));
  ASSERT_TRUE(w.make_dirs("a/b"));  // present already
  ASSERT_TRUE(w.write_file("a/b/file.txt", bytes("hello")));
  ASSERT_TRUE(w.write_file("x/y/z.bin", bytes("deep")));  // parents made on the way
  ASSERT_TRUE(w.write_file("a/b/file.txt", bytes("hi")));  // truncated, not appended
  EXPECT_TRUE(fs::is_directory(dest_ / "a/b/c"));
  EXPECT_EQ(read(dest_ / "a/b/file.txt"), "hi");
  EXPECT_EQ(read(dest_ / "x/y/z.bin"), "deep");
}

TEST_F(TreeWriterTest, NeverFollowsALinkPlantedInsideTheDestination) {
  fs::create_directories(dest_);
  fs::create_directory_symlink(root_ / "outside", dest_ / "link");
  fs::create_symlink(root_ / "outside" / "target", dest_ / "file_link");
  auto w = open();
  struct Case {
    const char* path;
    bool as_file;
  };
  for (Case c : {Case{"link/escaped", true}, Case{"link/sub", false}, Case{"link", false},
                 Case{"file_link", true}}) {
    auto r = c.as_file ? w.write_file(c.path, bytes("x")) : w.make_dirs(c.path);
    ASSERT_FALSE(r) << c.path;
    EXPECT_EQ(r.error().kind, TreeWriteError::Kind::LinkInPath) << c.path;
    EXPECT_EQ(r.error().path, c.path);
  }
  EXPECT_TRUE(fs::is_empty(root_ / "outside"));
}

TEST_F(TreeWriterTest, RefusesComponentsThatLeaveTheDestination) {
  auto w = open();
  using namespace std::string_view_literals;
  // A NUL would cut a name short at the system call ("a\0b" written as "a").
  for (std::string_view path : {""sv, "/etc/passwd"sv, "../up"sv, "a/../../up"sv, "a/./b"sv, "."sv, "a/.."sv,
                                "a\0b"sv, "d\0/f"sv}) {
    auto r = w.write_file(path, bytes("x"));
    ASSERT_FALSE(r) << path;
    EXPECT_EQ(r.error().kind, TreeWriteError::Kind::BadPath) << path;
    auto d = w.make_dirs(path);
    ASSERT_FALSE(d) << path;
    EXPECT_EQ(d.error().kind, TreeWriteError::Kind::BadPath) << path;
    auto l = w.create_symlink(path, "target");
    ASSERT_FALSE(l) << path;
    EXPECT_EQ(l.error().kind, TreeWriteError::Kind::BadPath) << path;
  }
  EXPECT_TRUE(fs::is_empty(root_ / "outside"));
  EXPECT_FALSE(fs::exists(dest_ / "d"));
}

TEST_F(TreeWriterTest, CreatesLinksAsStoredAndNeverWritesThroughThem) {
  auto w = open();
  ASSERT_TRUE(w.write_file("old", bytes("x")));
  ASSERT_TRUE(w.create_symlink("old", (root_ / "outside").string()));  // replaces the file
  ASSERT_TRUE(w.create_symlink("sub/rel", "../old"));
  EXPECT_EQ(fs::read_symlink(dest_ / "old"), root_ / "outside");
  EXPECT_EQ(fs::read_symlink(dest_ / "sub" / "rel"), "../old");
  auto through = w.write_file("old/escaped", bytes("y"));
  ASSERT_FALSE(through);
  EXPECT_EQ(through.error().kind, TreeWriteError::Kind::LinkInPath);
  ASSERT_TRUE(w.make_dirs("dir"));
  auto over_dir = w.create_symlink("dir", "x");  // a directory is not replaced
  ASSERT_FALSE(over_dir);
  EXPECT_EQ(over_dir.error().kind, TreeWriteError::Kind::Io);
  EXPECT_TRUE(fs::is_empty(root_ / "outside"));
}

TEST_F(TreeWriterTest, GivesFilesAndDirectoriesTheirAttributes) {
  auto w = open();
  auto sink = w.create_file("d/f");
  ASSERT_TRUE(sink);
  ASSERT_TRUE(sink->write(bytes("data")));
  ASSERT_TRUE(sink->set_attributes({uint16_t{04755}, int64_t{1000000000}}));
  ASSERT_TRUE(sink->finish());
  ASSERT_TRUE(w.set_dir_attributes("d", {uint16_t{0700}, int64_t{2000000000}}));
  struct stat f {}, d {};
  ASSERT_EQ(::stat((dest_ / "d" / "f").c_str(), &f), 0);
  ASSERT_EQ(::stat((dest_ / "d").c_str(), &d), 0);
  EXPECT_EQ(f.st_mode & 07777, 0755u);  // never setuid
  EXPECT_EQ(f.st_size, 4);
  EXPECT_EQ(f.st_mtime, 1000000000);
  EXPECT_EQ(d.st_mode & 07777, 0700u);
  EXPECT_EQ(d.st_mtime, 2000000000);
}

TEST_F(TreeWriterTest, ReportsHostFailuresAsIo) {
  auto w = open();
  ASSERT_TRUE(w.write_file("plain", bytes("x")));
  auto under_file = w.write_file("plain/child", bytes("y"));
  ASSERT_FALSE(under_file);
  EXPECT_EQ(under_file.error().kind, TreeWriteError::Kind::Io);
  EXPECT_EQ(under_file.error().io.code(), ENOTDIR);
  ASSERT_TRUE(w.make_dirs("dir"));
  auto over_dir = w.write_file("dir", bytes("y"));
  ASSERT_FALSE(over_dir);
  EXPECT_EQ(over_dir.error().io.code(), EISDIR);
}

}  // namespace
}  // namespace tev
