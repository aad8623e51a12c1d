# Cross build for 64-bit Windows with Debian's mingw-w64 (vantrel64.dll).
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(VANTREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Windows test programs run under the 64-bit Wine loader.
find_program(VANTREL_WINE64 NAMES wine64 PATHS /usr/lib/wine)
if(VANTREL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTREL_WINE64})
endif()
