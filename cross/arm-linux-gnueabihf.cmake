# Cross-compiles for 32-bit Arm Linux, hard-float ABI (Debian's armhf, which
# 32-bit Raspberry Pi systems run), with Debian's g++-arm-linux-gnueabihf;
# runs under qemu-arm. Its baseline, ARMv7-A with VFPv3-D16, has no NEON: the
# NEON kernel is compiled for it alone and chosen at run time.
set(cross_triplet arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(debian_arch armhf)
# The processor in the .tar.gz's name: "arm" would not say which ABI.
set(archive_processor armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-common.cmake)
