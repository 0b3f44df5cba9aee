# GoogleTest for the Windows cross build, compiled from the sources Debian ships in
# /usr/src/googletest (package googletest). Its project defines the targets the test areas
# link, GTest::gtest_main and GTest::gmock.
set(TERVAN_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${TERVAN_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${TERVAN_GOOGLETEST_SOURCE}: "
        "install the Debian package googletest (scripts/windows-build.sh does)")
endif()

set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
# GoogleTest's own threading on Windows is Win32; winpthreads is not needed for it.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${TERVAN_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Not our code: its warnings are not ours to fix.
foreach(library gtest gtest_main gmock gmock_main)
    target_compile_options(${library} PRIVATE -w)
endforeach()
