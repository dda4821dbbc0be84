# Toolchain for the Windows x86 kernel driver image (vr_mdm.sys for 32-bit
# Windows), cross-built with Debian's mingw-w64 i686 compiler.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_mingw i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
