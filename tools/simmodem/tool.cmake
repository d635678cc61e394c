# The simulated modem of the end-to-end tests: a Python program (standard
# library only) that the test bench starts from the source tree. Natively,
# its self-test checks it against its own pty.
if(NOT WIN32)
  add_test(NAME simmodem_self_test
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/simmodem.py --self-test)
  set_tests_properties(simmodem_self_test PROPERTIES TIMEOUT 60)
endif()
