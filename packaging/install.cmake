# Installation (cmake --install) and the Debian package (cpack -G DEB).
# The layout comes from packaging/install_layout.cmake.

install(TARGETS kestrel-connect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kvt_page_bridge LIBRARY DESTINATION ${KVT_INSTALL_PKGLIBDIR}/web-extensions)
install(TARGETS kvt_ads_dll LIBRARY DESTINATION ${KVT_INSTALL_PKGLIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/browser/resources/kestrel-connect.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
# The desktop entry and the metainfo carry the application id the window
# registers with, so desktops match the running window to its entry.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/example.kestrel.Connect.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# The metainfo's release is the project version, dated by the last commit
# (or today, outside a git checkout; SOURCE_DATE_EPOCH is honoured).
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} log -1 --format=%cs
                  OUTPUT_VARIABLE KVT_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT KVT_RELEASE_DATE MATCHES "^[0-9]+-[0-9]+-[0-9]+$")
  string(TIMESTAMP KVT_RELEASE_DATE "%Y-%m-%d" UTC)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/example.kestrel.Connect.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/packaging/example.kestrel.Connect.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/example.kestrel.Connect.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_PACKAGE_NAME kestrel-connect)
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_CONTACT "Kestrel Dev <dev@kestrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Keeps Kestrel simulations in step with real industrial controllers")
set(CPACK_PACKAGE_DESCRIPTION
    "Kestrel Connect hosts the Kestrel simulation web application in a desktop window and connects a
running simulation to industrial controllers for virtual commissioning: Modbus TCP, S7, FINS,
OPC UA, MQTT, EtherNet/IP device discovery and ROS 2.")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies from the linked shared libraries (dpkg-shlibdeps);
# Snap7 and open62541 are linked in statically.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The realtime broker raises the exchange and scan threads' priority for a
# user who may not lower niceness.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS rtkit)
include(CPack)
