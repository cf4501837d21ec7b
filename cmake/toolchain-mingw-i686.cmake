# Cross build for 32-bit Windows with Debian's mingw-w64. The -posix
# compilers are named directly (rather than through the system's
# alternatives) because the engine uses std::thread and std::mutex, which
# the win32-threads variant lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEM_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER ${ZEM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEM_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine (tests, and the test host); the wrapper
# keeps Wine's state in the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
