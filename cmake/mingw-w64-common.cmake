# What the two Windows toolchains share; the including file sets _mingw (the
# compiler prefix) and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_mingw}-gcc)
set(CMAKE_CXX_COMPILER ${_mingw}-g++)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_AR ${_mingw}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_mingw}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${_mingw}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The DDK headers, one copy for both targets: /usr/share/mingw-w64/include/ddk
# (Debian mingw-w64-common).
set(VRMDM_MINGW_DDK_INCLUDE /usr/share/mingw-w64/include/ddk CACHE PATH "mingw-w64 DDK headers")
