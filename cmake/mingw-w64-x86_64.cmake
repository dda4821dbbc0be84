# Toolchain for the Windows x64 kernel driver image (vr_mdm.sys), cross-built
# with Debian's mingw-w64 (posix thread model; the driver uses no runtime).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_mingw x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
