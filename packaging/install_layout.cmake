# Where an installed Kestrel Connect keeps its parts, in the GNU install
# directories under any prefix: the program in bin, the page bridge in the
# program's own library folder (where a ROS 2 bridge library may be put too), the icon, desktop entry and metainfo under
# share. The program finds the library and data folders relative to its own
# executable, so an installed tree works wherever it is unpacked.
# The program's folder name is also that of its folder of user settings.
include(GNUInstallDirs)
set(KVT_PROGRAM_FOLDER kestrel-connect)
set(KVT_INSTALL_PKGLIBDIR ${CMAKE_INSTALL_LIBDIR}/${KVT_PROGRAM_FOLDER})
file(RELATIVE_PATH KVT_BIN_TO_PKGLIBDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/${KVT_PROGRAM_FOLDER})
file(RELATIVE_PATH KVT_BIN_TO_DATADIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/../platform/install_layout.hpp.in
               ${PROJECT_BINARY_DIR}/generated/platform/install_layout.hpp @ONLY)
