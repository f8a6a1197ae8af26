# The program itself (after the libraries it stands on are defined). The page
# bridge is built with it and sits in app/web-extensions beside it; the ADS
# library, which the ADS driver loads at run time, sits beside it.
add_executable(kestrel-connect app/main.cpp app/application.cpp)
set_target_properties(kestrel-connect PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/app)
target_link_libraries(kestrel-connect PRIVATE kvt_server kvt_browser kvt_app_core kvt_warnings)
add_dependencies(kestrel-connect kvt_page_bridge kvt_ads_dll)
