# Installed layout, the same on both platforms:
#   bin/plugin-host[.exe]     the host (and pluginsdk.dll on Windows)
#   lib/libpluginsdk.so       the SDK library (Linux)
#   plugins/Velquist.{so,dll} the module
#   include/                  the SDK declarations, for building more plugins
include(GNUInstallDirs)

set_target_properties(plugin-host PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
set_target_properties(Velquist PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS plugin-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS pluginsdk
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS Velquist LIBRARY DESTINATION plugins RUNTIME DESTINATION plugins)
install(DIRECTORY sdk/include/ host/pluginsdk/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME Velquist)
set(CPACK_PACKAGE_VENDOR "Velquist developers")
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(CPACK_SYSTEM_NAME windows-x86_64)
endif()
include(CPack)
