# Where an install puts each part, relative to its prefix; the same on both
# platforms, so that the package and README describe one layout:
#   bin/plugin-host[.exe]               the host (and pluginsdk.dll on Windows)
#   lib/libpluginsdk.so                 the SDK library (Linux)
#   include/                            the SDK declarations
#   share/BakkesModSDK/src/             the plugin base class's members, which
#                                       every module compiles
#   share/BakkesModSDK/examples/        a plugin project to start from
#   lib/cmake/BakkesModSDK/             the CMake package
#   plugins/Velquist.{so,dll}           the module
#   lib/msvc_runtime/                   the clang-cl cross build only: the
#                                       runtime an MSVC installation supplies
include(GNUInstallDirs)
set(VELQUIST_INSTALL_SDK_DATADIR "${CMAKE_INSTALL_DATADIR}/BakkesModSDK")
set(VELQUIST_INSTALL_SDK_SOURCEDIR "${VELQUIST_INSTALL_SDK_DATADIR}/src")
set(VELQUIST_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/BakkesModSDK")
set(VELQUIST_INSTALL_PLUGINDIR plugins)
set(VELQUIST_INSTALL_MSVC_RUNTIME_DIR "${CMAKE_INSTALL_LIBDIR}/msvc_runtime")
