# Cross-build of hostvigil.exe for 64-bit Windows with the posix-thread variant of mingw-w64
# (the win32-thread variant lacks std::thread and std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A static runtime, so the .exe needs no mingw DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(HOSTVIGIL_WINE wine)
if(HOSTVIGIL_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${HOSTVIGIL_WINE})
endif()
