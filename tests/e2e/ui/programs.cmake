# varnix-ui.exe: drives Varnix's windows for the end-to-end tests.
add_executable(varnix-ui ${CMAKE_CURRENT_LIST_DIR}/varnix_ui.cpp)
target_include_directories(varnix-ui PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/platform)
target_link_options(varnix-ui PRIVATE -municode)
target_link_libraries(varnix-ui PRIVATE user32 gdi32)
