# SPDX-License-Identifier: LGPL-2.1-or-later
# Loongson's 64-bit MIPS, little-endian, n64 ABI:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mips64el-linux-gnuabi64.cmake
set(VESSIK_CROSS_TRIPLET mips64el-linux-gnuabi64)
set(VESSIK_CROSS_PROCESSOR mips64)
set(VESSIK_CROSS_QEMU mips64el)
set(VESSIK_CROSS_DEB_ARCH mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
