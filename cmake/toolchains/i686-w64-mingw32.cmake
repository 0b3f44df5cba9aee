# 32-bit Windows, the tool's reference platform. Its programs are built and linked; running
# them needs a 32-bit Wine, which CI machines do not have.
set(TERVAN_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
