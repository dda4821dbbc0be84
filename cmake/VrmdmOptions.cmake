# Build options shared by every host target: sanitizers and the compiler cache.

set(VRMDM_SANITIZE "none" CACHE STRING
    "Sanitizer build: none, address (ASan+UBSan), thread (TSan) or fuzzer (clang: libFuzzer+ASan+UBSan)")
set_property(CACHE VRMDM_SANITIZE PROPERTY STRINGS none address thread fuzzer)
option(VRMDM_BUILD_TESTS "Build the GoogleTest suites" ON)
option(VRMDM_USE_CCACHE "Compile through ccache (scripts/setup installs it)" ON)
# The peer lab boots a VM for its tests; once per test run is enough, so only
# the plain build has them unless asked.
if(VRMDM_SANITIZE STREQUAL "none" OR VRMDM_SANITIZE STREQUAL "")
  set(_vrmdm_peer_default ON)
else()
  set(_vrmdm_peer_default OFF)
endif()
option(VRMDM_PEER_TESTS "Register the peer lab's tests (label peer: Linux's CDC ACM code in QEMU)"
       ${_vrmdm_peer_default})

if(VRMDM_SANITIZE STREQUAL "address")
  set(_vrmdm_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(VRMDM_SANITIZE STREQUAL "thread")
  set(_vrmdm_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(VRMDM_SANITIZE STREQUAL "fuzzer")
  # Coverage for libFuzzer everywhere; only the fuzz targets link its main.
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VRMDM_SANITIZE=fuzzer needs clang (CC=clang CXX=clang++)")
  endif()
  set(_vrmdm_san -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(VRMDM_SANITIZE STREQUAL "none" OR VRMDM_SANITIZE STREQUAL "")
  set(_vrmdm_san "")
else()
  message(FATAL_ERROR "VRMDM_SANITIZE must be none, address, thread or fuzzer (got '${VRMDM_SANITIZE}')")
endif()
if(_vrmdm_san)
  add_compile_options(${_vrmdm_san})
  add_link_options(${_vrmdm_san})
endif()

if(VRMDM_USE_CCACHE)
  find_program(VRMDM_CCACHE_PROGRAM ccache REQUIRED)
  set(_vrmdm_launcher "${VRMDM_CCACHE_PROGRAM}")
  # Paths relative to the tree, and debug info not keyed by the build
  # directory, so that a fresh clone (CI's) reuses what another compiled.
  if(NOT DEFINED ENV{CCACHE_BASEDIR})
    set(_vrmdm_launcher "${CMAKE_COMMAND}" -E env "CCACHE_BASEDIR=${CMAKE_SOURCE_DIR}" CCACHE_NOHASHDIR=1
                        "${VRMDM_CCACHE_PROGRAM}")
  endif()
  set(CMAKE_C_COMPILER_LAUNCHER ${_vrmdm_launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${_vrmdm_launcher})
endif()

# Driver code built for the emulator: every function entry calls the
# emulator's check of the routine's IRQL and lock annotations
# (emu/src/verifier/contracts.cpp).  The emulator's own inline helpers and the
# system headers stay uninstrumented.
set(VRMDM_CONTRACT_CHECK_OPTIONS
    -finstrument-functions
    "$<$<CXX_COMPILER_ID:GNU>:-finstrument-functions-exclude-file-list=/emu/include/nt/,/usr/include/>")
