// The browser's cache folders: "Main" for the first copy, one per process for
// the others, and the clean-up of folders that earlier copies left behind.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "app/cache_directories.hpp"

namespace kvt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CacheDirectories : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kvt-cache-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    temp_ = pattern;
  }
  void TearDown() override { fs::remove_all(temp_); }
  fs::path root() const { return cache_root(temp_); }
  void age(const fs::path& p, std::chrono::seconds by) {
    fs::last_write_time(p, fs::file_time_type::clock::now() - by);
  }
  fs::path temp_;
};

TEST_F(CacheDirectories, FirstCopyUsesMainAndFurtherCopiesTheirOwn) {
  std::string error;
  auto first = cache_directory(temp_, 100, error);
  EXPECT_TRUE(first.first_instance);
  EXPECT_EQ(first.directory, root() / "Main");
  EXPECT_TRUE(fs::exists(root() / "Main" / "lockfile"));

  auto second = cache_directory(temp_, 200, error);
  EXPECT_FALSE(second.first_instance);
  EXPECT_EQ(second.directory, root() / "200");

  // When the first copy ends, the next one to start is first again.
  first = {};
  auto third = cache_directory(temp_, 300, error);
  EXPECT_TRUE(third.first_instance);
  EXPECT_EQ(third.directory, root() / "Main");
}

TEST_F(CacheDirectories, APerProcessFolderOfTheSameIdIsWipedAndRecreated) {
  std::string error;
  auto first = cache_directory(temp_, 1, error);
  fs::create_directories(root() / "42" / "old");
  std::ofstream(root() / "42" / "old" / "file") << "x";
  auto again = cache_directory(temp_, 42, error);
  EXPECT_EQ(again.directory, root() / "42");
  EXPECT_FALSE(fs::exists(root() / "42" / "old"));
}

TEST_F(CacheDirectories, AnExistingMainIsUsedAsItIs) {
  fs::create_directories(root() / "Main");
  std::ofstream(root() / "Main" / "cookies") << "kept";
  std::string error;
  auto lease = cache_directory(temp_, 7, error);
  EXPECT_EQ(lease.directory, root() / "Main");
  EXPECT_TRUE(fs::exists(root() / "Main" / "cookies"));
}

TEST_F(CacheDirectories, AnUncreatableFolderIsReportedNotUsed) {
  fs::create_directories(temp_ / "Kestrel" / "Connect");
  std::ofstream(temp_ / "Kestrel" / "Connect" / "Cache") << "a file where the folder should be";
  std::string error;
  auto lease = cache_directory(temp_, 7, error);
  EXPECT_TRUE(lease.directory.empty());
  EXPECT_NE(error.find("Cache"), std::string::npos) << error;
}

TEST_F(CacheDirectories, CleanUpRemovesOnlyOldUnlockedPerProcessFolders) {
  std::string error;
  auto running = cache_directory(temp_, 1, error);   // Main, held
  auto other = cache_directory(temp_, 500, error);   // held by a running copy
  fs::create_directories(root() / "600");            // abandoned, no lock file
  fs::create_directories(root() / "700");            // abandoned, lock file not held
  std::ofstream(root() / "700" / "lockfile") << "";
  fs::create_directories(root() / "800");            // young
  std::ofstream(root() / "stray") << "never touched";
  for (const char* name : {"Main", "500", "600", "700"}) age(root() / name, 120s);
  age(root() / "800", 30s);

  clean_cache_directories(temp_);
  EXPECT_TRUE(fs::exists(root() / "Main"));
  EXPECT_TRUE(fs::exists(root() / "500"));
  EXPECT_FALSE(fs::exists(root() / "600"));
  EXPECT_FALSE(fs::exists(root() / "700"));
  EXPECT_TRUE(fs::exists(root() / "800"));
  EXPECT_TRUE(fs::exists(root() / "stray"));
}

TEST_F(CacheDirectories, CleanUpWithoutARootDoesNothing) {
  clean_cache_directories(temp_);
  EXPECT_FALSE(fs::exists(root()));
}

}  // namespace
}  // namespace kvt
