# Cross-compiling for Windows x86-64 on Debian with MinGW-w64 (POSIX threads).
# scripts/windows.sh passes Qt5_DIR of a Qt built for Windows; Qt's own host
# tools (moc, uic, rcc) come with it, lrelease is the build machine's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KITE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KITE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KITE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KITE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KITE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Qt's packages are found through Qt5_DIR, the translation tools on the build
# machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The programs run under Wine here; CTest starts each test through it (see
# wine-run.sh for why not directly).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
# Wine sees this machine's file system as drive Z:; paths built into the
# programs (tests finding the programs they start) carry the drive.
set(KITE_TARGET_DRIVE "Z:")
