# Cross-compiles for IBM Z Linux (64-bit, big-endian) with Debian's
# g++-s390x-linux-gnu; runs under qemu-s390x.
set(cross_triplet s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(debian_arch s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-common.cmake)
