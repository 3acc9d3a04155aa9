# Cross-building for 64-bit Windows with Debian's MinGW-w64 (posix threads).
# VANTOREL_QT_WINDOWS names the Qt 5 for Windows to build against (a folder
# with bin/, lib/cmake/Qt5 and plugins/, whose moc, uic and rcc run here).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTOREL_QT_WINDOWS)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${VANTOREL_QT_WINDOWS})
set(CMAKE_PREFIX_PATH ${VANTOREL_QT_WINDOWS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the Windows programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
