# Cross-builds orvalengate.exe with Debian's mingw-w64 (the POSIX thread
# model, which std::thread and std::random_device need), linked statically
# so that the .exe needs nothing beside it but the system's own DLLs.
# The text generator must run on the build machine: give a host-built copy
# with -DORVALENGATE_SJISTEXTS=/path/to/sjistexts (scripts/build-windows.sh
# builds one first). build-windows.sh cross-builds libjpeg-turbo with it too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
