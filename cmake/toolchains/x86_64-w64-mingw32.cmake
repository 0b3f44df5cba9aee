# 64-bit Windows. Its test programs run under Wine: CTest starts each one through the emulator
# named here. Start Wine's session (wineboot) before CTest, as scripts/windows-test.sh does:
# Wine's background processes started by a test would hold CTest's output pipe open.
set(TERVAN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
