# The DDEML server layer of the DDE service.
add_library(varnix_dde STATIC ${CMAKE_CURRENT_LIST_DIR}/DdeServer.cpp)
target_include_directories(varnix_dde PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(varnix_dde PUBLIC varnix_core user32)
