# The serial port and the registry accessor on Win32.
add_library(varnix_serial STATIC ${CMAKE_CURRENT_LIST_DIR}/SerialPort.cpp)
target_include_directories(varnix_serial PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(varnix_serial PUBLIC varnix_core)

add_library(varnix_registry STATIC ${CMAKE_CURRENT_LIST_DIR}/Registry.cpp)
target_include_directories(varnix_registry PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(varnix_registry PUBLIC varnix_core advapi32)
