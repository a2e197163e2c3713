# Cross build for 64-bit Arm with Debian's cross toolchain and multiarch
# libraries (crossbuild-essential-arm64, libcrypt-dev:arm64, libstdc++6:arm64).
# The package gate runs the packaged tool under qemu-user, through the emulator;
# the suite runs on an arm64 kernel (tests/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Without the cross compiler, stop before CMake looks for one: a configure
# that goes on caches the host's binutils and empty flags for every build
# type, and the tree would stay so once the toolchain is installed.
find_program(PASSHASH_CROSS_CXX aarch64-linux-gnu-g++ NO_CACHE)
if(NOT PASSHASH_CROSS_CXX)
  message(FATAL_ERROR "aarch64-linux-gnu-g++ is not installed: apt-get install crossbuild-essential-arm64")
endif()
# A tree configured so before these lines: the cross binutils by name, and
# the flags made again from CMake's defaults.
foreach(tool ADDR2LINE AR LINKER NM OBJCOPY OBJDUMP RANLIB READELF STRIP)
  string(TOLOWER ${tool} name)
  string(REPLACE linker ld name ${name})
  set(CMAKE_${tool} aarch64-linux-gnu-${name} CACHE FILEPATH "The cross ${name}" FORCE)
endforeach()
foreach(type DEBUG MINSIZEREL RELEASE RELWITHDEBINFO)
  if(DEFINED CACHE{CMAKE_CXX_FLAGS_${type}} AND "$CACHE{CMAKE_CXX_FLAGS_${type}}" STREQUAL "")
    unset(CMAKE_CXX_FLAGS_${type} CACHE)
  endif()
endforeach()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# pkg-config must see the arm64 libxcrypt, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
