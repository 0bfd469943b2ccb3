# What an install lays out (see InstallLayout.cmake), the CMake package
# plugin developers find with find_package(BakkesModSDK), and the packages
# cpack makes of it: a Debian package on Linux, a ZIP on Windows.
include(CMakePackageConfigHelpers)

set_target_properties(plugin-host Velquist PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS plugin-host EXPORT BakkesModSDKTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS pluginsdk EXPORT BakkesModSDKTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS sdk_headers plugin_base EXPORT BakkesModSDKTargets)
install(DIRECTORY sdk/include/ host/pluginsdk/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES sdk/src/bakkesmodplugin.cpp DESTINATION ${VELQUIST_INSTALL_SDK_SOURCEDIR})
install(DIRECTORY examples/ DESTINATION ${VELQUIST_INSTALL_SDK_DATADIR}/examples)

install(TARGETS Velquist LIBRARY DESTINATION ${VELQUIST_INSTALL_PLUGINDIR}
    RUNTIME DESTINATION ${VELQUIST_INSTALL_PLUGINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

# The package: its targets under BakkesModSDK::, the two functions, and the
# files they use. Every path in it is relative to where it is found, so an
# installed tree can be moved.
install(EXPORT BakkesModSDKTargets NAMESPACE BakkesModSDK:: DESTINATION ${VELQUIST_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/BakkesModSDKConfig.cmake.in
    "${PROJECT_BINARY_DIR}/BakkesModSDKConfig.cmake"
    INSTALL_DESTINATION ${VELQUIST_INSTALL_CMAKEDIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/BakkesModSDKConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/BakkesModSDKConfig.cmake"
    "${PROJECT_BINARY_DIR}/BakkesModSDKConfigVersion.cmake"
    cmake/BakkesModPluginModule.cmake
    cmake/BakkesModPluginTests.cmake
    cmake/BakkesModDiscoverPluginTests.cmake
    cmake/BakkesModDiscoverFolderTests.cmake
    cmake/plugin_module.map
    DESTINATION ${VELQUIST_INSTALL_CMAKEDIR})

# The version is the project's.
set(CPACK_PACKAGE_NAME velquist)
set(CPACK_PACKAGE_VENDOR "Velquist developers")
set(CPACK_PACKAGE_CONTACT "Velquist developers <velquist@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME windows-x86_64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION devel)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1, libsodium23 (>= 1.0.18), libseccomp2 (>= 2.5)")
    # What building a plugin against the package takes.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cmake (>= 3.25), g++")
endif()
include(CPack)
