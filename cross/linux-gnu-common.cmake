# Shared part of the Linux cross toolchain files, which set cross_triplet,
# CMAKE_SYSTEM_PROCESSOR and debian_arch first. Debian's cross compilers
# (g++-<triplet>) build for the target; qemu-user runs what is built, the
# tests and the programs they start, with the target's libraries from its
# sysroot /usr/<triplet>, without binfmt.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${cross_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The loader comes from the sysroot (-L), and so must every library: where the
# target's own libraries are installed too (multiarch, /lib/<triplet>, as CI
# has them for the arm64 .deb), the loader would take those first, a C library
# of another build than its own, and the suite then hung in a death test.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L /usr/${cross_triplet}
                                  -E LD_LIBRARY_PATH=/usr/${cross_triplet}/lib)
# The .deb's architecture, which cpack would otherwise take from the build machine.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debian_arch})
