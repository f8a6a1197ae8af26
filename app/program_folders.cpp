#include "app/program_folders.hpp"

#include <system_error>

#include "platform/install_layout.hpp"

namespace kvt {

namespace {

constexpr const char* extension_folder = "web-extensions";
constexpr const char* icon_folder = "icons";

}  // namespace

program_folders find_program_folders(const std::filesystem::path& executable_directory) {
  std::error_code ec;
  if (std::filesystem::is_directory(executable_directory / extension_folder, ec))
    return {executable_directory / extension_folder, executable_directory / icon_folder};
  const std::filesystem::path library = (executable_directory / install_layout::library_folder).lexically_normal();
  const std::filesystem::path data = (executable_directory / install_layout::data_folder).lexically_normal();
  return {library / extension_folder, data / icon_folder};
}

}  // namespace kvt
