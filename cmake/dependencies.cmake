# Imported targets for the libraries the program links.

find_library(KVT_SNAP7_LIBRARY NAMES libsnap7.a snap7 PATHS ${KVT_DEPS_PREFIX}/lib NO_DEFAULT_PATH)
find_path(KVT_SNAP7_INCLUDE_DIR snap7.h PATHS ${KVT_DEPS_PREFIX}/include NO_DEFAULT_PATH)
if(NOT KVT_SNAP7_LIBRARY OR NOT KVT_SNAP7_INCLUDE_DIR)
  message(FATAL_ERROR "Snap7 not found under ${KVT_DEPS_PREFIX}: run scripts/setup.sh first")
endif()
add_library(kvt::snap7 STATIC IMPORTED)
set_target_properties(kvt::snap7 PROPERTIES
  IMPORTED_LOCATION ${KVT_SNAP7_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${KVT_SNAP7_INCLUDE_DIR}
  INTERFACE_LINK_LIBRARIES Threads::Threads)

find_package(open62541 1.4 REQUIRED CONFIG)
