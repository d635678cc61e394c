# varnix-send: command-line DDE client shipped with Varnix.
if(WIN32)
  add_executable(varnix-send ${CMAKE_CURRENT_LIST_DIR}/varnix-send.cpp)
  target_include_directories(varnix-send PRIVATE ${CMAKE_SOURCE_DIR}/platform)
  target_link_options(varnix-send PRIVATE -municode)
  target_link_libraries(varnix-send PRIVATE user32)
endif()
