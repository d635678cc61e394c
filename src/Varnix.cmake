# Varnix.exe: the windows, the program entry and the resources, on top of
# the portable core and the Windows adapters.
enable_language(RC)

add_executable(Varnix WIN32
  ${CMAKE_CURRENT_LIST_DIR}/uMain/win32/Program.cpp
  ${CMAKE_CURRENT_LIST_DIR}/uMain/win32/frmMain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/uMain/win32/FormHelpers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/uMain/win32/GatewayRuntime.cpp
  ${CMAKE_CURRENT_LIST_DIR}/uCom/win32/frmCom.cpp
  ${CMAKE_CURRENT_LIST_DIR}/uAbout/win32/frmAbout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/res/Varnix.rc
)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/res/Varnix.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/res/Varnix.ico;${CMAKE_CURRENT_LIST_DIR}/res/logo.bmp;${CMAKE_CURRENT_LIST_DIR}/res/Varnix.manifest")
target_include_directories(Varnix PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_options(Varnix PRIVATE -municode -mwindows)
target_link_libraries(Varnix PRIVATE varnix_core comctl32 gdi32 user32 winmm)

# The adapters come from platform/, which is configured after this file;
# targets named before they exist are resolved at generation time.
target_link_libraries(Varnix PRIVATE varnix_codec varnix_serial varnix_registry varnix_dde)
