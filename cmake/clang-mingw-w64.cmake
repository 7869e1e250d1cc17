# Second compiler for the Windows build: clang for the mingw-w64 target, with
# the mingw-w64 headers and import libraries and the posix-thread libstdc++
# of the mingw-w64 g++, linked by lld. It stands in for the portability that
# an MSVC build needs: code that only g++ accepts fails here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(MINGW_SYSROOT /usr/${MINGW_TRIPLET})
# The g++ whose libstdc++ is used; its version directory is found, not fixed.
file(GLOB MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLET}/*-posix)
list(SORT MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET MINGW_GCC_DIRS 0 MINGW_GCC_DIR)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLET})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_SYSROOT ${MINGW_SYSROOT})

# Left alone, clang would search the host's /usr/include and an unversioned
# C++ header directory; name the mingw-w64 libstdc++ headers instead.
set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc++ -isystem ${MINGW_GCC_DIR}/include/c++ -isystem ${MINGW_GCC_DIR}/include/c++/${MINGW_TRIPLET} -isystem ${MINGW_GCC_DIR}/include/c++/backward")
# libstdc++ and libgcc live beside that g++, for executables and DLLs alike;
# winpthreads backs std::thread.
# The header options reach the link line too, where they mean nothing.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${MINGW_GCC_DIR} -pthread -Wno-unused-command-line-argument")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

set(CMAKE_FIND_ROOT_PATH ${MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
