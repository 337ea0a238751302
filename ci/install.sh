#!/usr/bin/env bash
# Installs the Debian packages that the other steps need and a fresh Debian
# machine lacks: one `apt-get update`, then `apt-get install` of exactly what
# is missing (nothing when all is there). Packages of another architecture
# (the 32-bit wine, the arm64 and armhf libraries) have it added first.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v git >/dev/null || need+=(git)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# Debian's default clang++, with GCC's C++ library and with LLVM's (libc++).
command -v clang++ >/dev/null || need+=(clang)
[ -f /usr/lib/llvm-14/include/c++/v1/memory ] || need+=(libc++-14-dev)
[ -f /usr/lib/llvm-14/lib/libc++abi.so ] || need+=(libc++abi-14-dev)
# Windows: the MinGW-w64 cross compilers, and wine to run what they build.
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -x /usr/lib/wine/wine ] || need+=(wine32:i386)
# Linux on other processors: the cross compilers, and qemu-user to run what
# they build.
command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
command -v s390x-linux-gnu-g++ >/dev/null || need+=(g++-s390x-linux-gnu)
command -v arm-linux-gnueabihf-g++ >/dev/null || need+=(g++-arm-linux-gnueabihf)
{ command -v qemu-aarch64 && command -v qemu-s390x && command -v qemu-arm; } >/dev/null || need+=(qemu-user)
# The arm64 and armhf libraries where a system of that architecture has them:
# dpkg-shlibdeps looks there, not in the cross compiler's sysroot, and their
# symbols files give the .deb's dependencies.
[ -f /lib/aarch64-linux-gnu/libc.so.6 ] || need+=(libc6:arm64)
[ -f /usr/lib/aarch64-linux-gnu/libstdc++.so.6 ] || need+=(libstdc++6:arm64)
[ -f /lib/arm-linux-gnueabihf/libc.so.6 ] || need+=(libc6:armhf)
[ -f /usr/lib/arm-linux-gnueabihf/libstdc++.so.6 ] || need+=(libstdc++6:armhf)
# The release and its checks, and the man page's.
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v lintian >/dev/null || need+=(lintian)
command -v unzip >/dev/null || need+=(unzip)
command -v mandoc >/dev/null || need+=(mandoc)
command -v python3 >/dev/null || need+=(python3)  # scripts/check-reports
# The console test under wine runs the program on a pseudo-terminal (script).
command -v script >/dev/null || need+=(bsdutils)

if [ ${#need[@]} -eq 0 ]; then
    echo "every package is installed"
    exit 0
fi
echo "installing: ${need[*]}"
for package in "${need[@]}"; do
    if [[ "$package" == *:* ]]; then
        dpkg --add-architecture "${package#*:}"
    fi
done
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
