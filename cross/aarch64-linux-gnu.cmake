# Cross-compiles for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu;
# runs under qemu-aarch64.
set(cross_triplet aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(debian_arch arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-common.cmake)
