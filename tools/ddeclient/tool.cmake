# Scriptable DDE client of the end-to-end tests; not shipped.
if(WIN32)
  add_executable(ddeclient ${CMAKE_CURRENT_LIST_DIR}/ddeclient.cpp)
  target_include_directories(ddeclient PRIVATE ${CMAKE_SOURCE_DIR}/platform)
  target_link_options(ddeclient PRIVATE -municode)
  target_link_libraries(ddeclient PRIVATE user32)
endif()
