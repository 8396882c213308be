# SPDX-License-Identifier: LGPL-2.1-or-later
# 64-bit Arm, little-endian: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(VESSIK_CROSS_TRIPLET aarch64-linux-gnu)
set(VESSIK_CROSS_PROCESSOR aarch64)
set(VESSIK_CROSS_QEMU aarch64)
set(VESSIK_CROSS_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
