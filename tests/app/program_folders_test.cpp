// Where the program finds its page bridge and icon: beside the executable in
// a build tree, in the install layout's library and data folders otherwise.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>

#include "platform/install_layout.hpp"
#include "app/program_folders.hpp"

namespace kvt {
namespace {

namespace fs = std::filesystem;

class ProgramFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kvt-folders-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    temp_ = pattern;
  }
  void TearDown() override { fs::remove_all(temp_); }
  fs::path temp_;
};

TEST_F(ProgramFolders, ABuildTreeKeepsThemBesideTheExecutable) {
  const fs::path app = temp_ / "build" / "app";
  fs::create_directories(app / "web-extensions");
  const program_folders f = find_program_folders(app);
  EXPECT_EQ(f.extensions, app / "web-extensions");
  EXPECT_EQ(f.icons, app / "icons");
}

TEST_F(ProgramFolders, AnInstallationKeepsThemInItsLibraryAndDataFolders) {
  const fs::path prefix = temp_ / "usr";
  const fs::path bin = prefix / "bin";
  fs::create_directories(bin);
  const program_folders f = find_program_folders(bin);
  EXPECT_EQ(f.extensions, (bin / install_layout::library_folder / "web-extensions").lexically_normal());
  EXPECT_EQ(f.icons, prefix / "share" / "icons");
  // Both lie under the prefix, written without "..".
  for (const fs::path& p : {f.extensions, f.icons}) {
    EXPECT_TRUE(p.string().starts_with(prefix.string() + "/")) << p;
    EXPECT_EQ(p.string().find(".."), std::string::npos) << p;
  }
  EXPECT_TRUE(f.extensions.string().ends_with("/kestrel-connect/web-extensions")) << f.extensions;
}

}  // namespace
}  // namespace kvt
