# The DDE test host: the real server layer and send rule without a modem.
add_executable(VarnixDdeHost ${CMAKE_CURRENT_LIST_DIR}/dde_host.cpp)
target_link_options(VarnixDdeHost PRIVATE -municode)
target_link_libraries(VarnixDdeHost PRIVATE varnix_dde varnix_core)
