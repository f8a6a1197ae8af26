// The folders of the program's own files: "web-extensions" with the page
// bridge, and the icon theme folder with the application icon. A build tree
// keeps both beside the executable; an installation keeps the bridge in the
// program's library folder and the icon in the shared data folder.
#pragma once

#include <filesystem>

namespace kvt {

struct program_folders {
  std::filesystem::path extensions;  // the page bridge's folder
  std::filesystem::path icons;       // an icon theme search folder ("hicolor" inside)
};

// The folders for an executable in `executable_directory`: the build tree's
// when a "web-extensions" folder lies beside it, else the installed ones.
program_folders find_program_folders(const std::filesystem::path& executable_directory);

}  // namespace kvt
