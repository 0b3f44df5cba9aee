# 32-bit Windows, the tool's reference platform. Its test programs run under a 32-bit Wine
# (Debian's wine32:i386 beside wine64): CTest starts each one through the emulator named here.
# Start Wine's session (wineboot) before CTest, as scripts/windows-test.sh does.
set(TERVAN_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
