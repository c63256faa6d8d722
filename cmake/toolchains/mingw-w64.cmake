# Cross-building for Windows with Debian's mingw-w64 compilers, for the processor that the
# including toolchain file sets. The posix-thread variants are the ones GoogleTest builds with
# (std::mutex and std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(quorix_mingw ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${quorix_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${quorix_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${quorix_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${quorix_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine, in the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine.sh run)
