# Windows programs of the serial-port, registry and worker end-to-end tests.
foreach(probe port_probe reg_probe worker_probe)
  add_executable(${probe} ${CMAKE_CURRENT_LIST_DIR}/${probe}.cpp)
  target_link_options(${probe} PRIVATE -municode)
endforeach()
target_link_libraries(port_probe PRIVATE varnix_serial)
target_link_libraries(reg_probe PRIVATE varnix_registry)
target_link_libraries(worker_probe PRIVATE varnix_serial varnix_codec)
