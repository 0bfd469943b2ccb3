# Cross-builds Windows x86-64 binaries with the MSVC C++ ABI on Linux: clang-cl
# and lld-link target x86_64-pc-windows-msvc, against the MSVC standard
# library's headers (MSVC_STL_DIR: microsoft/STL, tag vs-2022-17.14), wine's
# C runtime and Windows headers, and the pieces in toolchain/msvc that an
# MSVC installation would provide. Programs run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

find_program(CMAKE_C_COMPILER NAMES clang-cl-19 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang-cl-19 REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link-19 REQUIRED)
find_program(CMAKE_AR NAMES llvm-lib-19 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc-19)
find_program(CMAKE_MT NAMES llvm-mt-19)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)

# The STL: the cache variable, else the environment variable, else a copy
# beside the source tree (where this project's CI machines keep it).
if(NOT MSVC_STL_DIR)
    if(DEFINED ENV{MSVC_STL_DIR})
        set(MSVC_STL_DIR "$ENV{MSVC_STL_DIR}")
    elseif(EXISTS "${CMAKE_CURRENT_LIST_DIR}/../../shared/msvc-stl/inc/yvals_core.h")
        get_filename_component(MSVC_STL_DIR "${CMAKE_CURRENT_LIST_DIR}/../../shared/msvc-stl" ABSOLUTE)
    endif()
endif()
set(MSVC_STL_DIR "${MSVC_STL_DIR}" CACHE PATH
    "The MSVC standard library: microsoft/STL at tag vs-2022-17.14 (its stl/inc as inc/, stl/src as src/)")
if(NOT EXISTS "${MSVC_STL_DIR}/inc/yvals_core.h")
    message(FATAL_ERROR "MSVC_STL_DIR must name the MSVC standard library (inc/yvals_core.h), got "
        "'${MSVC_STL_DIR}'. Take microsoft/STL at tag vs-2022-17.14 and point MSVC_STL_DIR at a "
        "folder holding its stl/inc as inc/ and stl/src as src/.")
endif()
set(VELQUIST_WINE_INCLUDE_DIR "/usr/include/wine/wine" CACHE PATH "wine's msvcrt/ and windows/ headers")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MSVC_STL_DIR VELQUIST_WINE_INCLUDE_DIR)
set(VELQUIST_MSVC_RUNTIME_DIR "${CMAKE_CURRENT_LIST_DIR}/../toolchain/msvc")
cmake_path(NORMAL_PATH VELQUIST_MSVC_RUNTIME_DIR)

# Headers in the order an MSVC installation presents them: the compiler's
# support headers (ours), the C++ library, the C runtime, the Windows SDK.
# The vectorised algorithms live in a static library we do not build.
set(_flags "-fms-compatibility-version=19.44 /D_USE_STD_VECTOR_ALGORITHMS=0")
foreach(_dir "${VELQUIST_MSVC_RUNTIME_DIR}/include" "${MSVC_STL_DIR}/inc"
        "${VELQUIST_WINE_INCLUDE_DIR}/msvcrt" "${VELQUIST_WINE_INCLUDE_DIR}/windows")
    string(APPEND _flags " -imsvc \"${_dir}\"")
endforeach()
set(CMAKE_C_FLAGS_INIT "${_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_flags}")

# No default libraries: toolchain/msvc supplies the runtime explicitly. The
# .CRT initialiser sections are read-only data, as MSVC lays them out. /Brepro
# makes the same sources give the same bytes.
set(_link "/nodefaultlib /merge:.CRT=.rdata /manifest:no /Brepro")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link} /entry:mainCRTStartup")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link} /entry:_DllMainCRTStartup")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link} /entry:_DllMainCRTStartup")
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "")
# Configure checks compile only: a link needs the runtime this build makes.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH "${VELQUIST_MSVC_RUNTIME_DIR}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages: the runtime's, and those a consumer points CMAKE_PREFIX_PATH at.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(VELQUIST_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
find_program(VELQUIST_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VELQUIST_WINE AND VELQUIST_WINESERVER)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${VELQUIST_MSVC_RUNTIME_DIR}/wine-run" "${VELQUIST_WINE}"
        "${VELQUIST_WINESERVER}" "${CMAKE_BINARY_DIR}/wine-prefix")
endif()
set(VELQUIST_MSVC_CROSS ON)
