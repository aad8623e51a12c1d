# Cross build for 32-bit Windows with Debian's mingw-w64 (vantrel32.dll).
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(VANTREL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# 32-bit Windows programs need a Wine that runs them (a 32-bit loader, and a
# kernel that runs 32-bit code). Name one with -DVANTREL_WINE32=...; without
# it the test programs are built but not run.
set(VANTREL_WINE32 "" CACHE FILEPATH "A Wine loader that runs 32-bit Windows programs")
if(VANTREL_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTREL_WINE32})
endif()
