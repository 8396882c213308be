# SPDX-License-Identifier: LGPL-2.1-or-later
# IBM Z, big-endian: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x-linux-gnu.cmake
set(VESSIK_CROSS_TRIPLET s390x-linux-gnu)
set(VESSIK_CROSS_PROCESSOR s390x)
set(VESSIK_CROSS_QEMU s390x)
set(VESSIK_CROSS_DEB_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
