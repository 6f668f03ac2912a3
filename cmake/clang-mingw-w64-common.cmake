# Clang for a Windows target, against the mingw-w64 headers and libraries: only to show that the code needs
# no GNU extensions. The shipped programs come from the GCC toolchain files.
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
find_program(CMAKE_RC_COMPILER NAMES ${MINGW_TRIPLE}-windres REQUIRED)
# mingw-w64's binutils: LLVM's own archiver is not among the packages installed.
find_program(CMAKE_AR NAMES ${MINGW_TRIPLE}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${MINGW_TRIPLE}-ranlib REQUIRED)

# The sysroot keeps the host's /usr/include out of the search path. Clang cannot read Debian's "12-win32"
# as a GCC version, so it is told where mingw-w64's libstdc++ and libgcc are.
set(CMAKE_SYSROOT /usr/${MINGW_TRIPLE})
find_program(MINGW_GXX NAMES ${MINGW_TRIPLE}-g++-win32 ${MINGW_TRIPLE}-g++ REQUIRED)
execute_process(COMMAND ${MINGW_GXX} -print-libgcc-file-name OUTPUT_VARIABLE MINGW_LIBGCC
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(MINGW_GCC_DIR ${MINGW_LIBGCC} DIRECTORY)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${MINGW_GCC_DIR}/include/c++
    ${MINGW_GCC_DIR}/include/c++/${MINGW_TRIPLE} ${MINGW_GCC_DIR}/include/c++/backward)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${MINGW_GCC_DIR}")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
