# The download for Windows: `cmake --build <dir> --target package` gives
# KelvraLogServer-<version>-win64.zip (or -win32.zip) holding KelvraLogServer.exe, the example
# plug-in DLL, the plug-in interface header and README-Windows.txt.
if(NOT WIN32)
  return()
endif()

install(TARGETS KelvraLogServer KelvraPluginHost RUNTIME DESTINATION .)
# The 64-bit server runs 32-bit plug-in DLLs in the 32-bit host: the i686 build's
# KelvraPluginHost.exe, shipped as KelvraPluginHost32.exe when given here.
set(KELVRA_PLUGIN_HOST32 "" CACHE FILEPATH "The i686 build's KelvraPluginHost.exe, for the win64 package")
if(KELVRA_PLUGIN_HOST32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  install(PROGRAMS ${KELVRA_PLUGIN_HOST32} DESTINATION . RENAME KelvraPluginHost32.exe)
endif()
install(TARGETS JsonLinesPlugin LIBRARY DESTINATION plugins RUNTIME DESTINATION plugins)
install(FILES ${PROJECT_SOURCE_DIR}/logging/uLogServerInterface.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/plugins/JsonLinesPlugin.cpp DESTINATION plugins/source)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-Windows.txt DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(kelvra_package_system win64)
else()
  set(kelvra_package_system win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME KelvraLogServer)
set(CPACK_PACKAGE_VENDOR "Kelvra")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME KelvraLogServer-${PROJECT_VERSION}-${kelvra_package_system})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Without debug information the archive is a quarter of the size.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kelvra Log Server: a network log server (TCP records, syslog)")
include(CPack)
