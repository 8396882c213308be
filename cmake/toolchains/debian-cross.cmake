# SPDX-License-Identifier: LGPL-2.1-or-later
# Shared part of the cross toolchain files: Debian's cross compilers
# (crossbuild-essential-<arch>) and the target's libraries installed as
# multiarch packages (libusb-1.0-0-dev:<arch>, libgtest-dev:<arch> ...).
# The including file names the target: VESSIK_CROSS_TRIPLET, _PROCESSOR,
# _QEMU (qemu-user's name for it) and _DEB_ARCH (Debian's).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VESSIK_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${VESSIK_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${VESSIK_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VESSIK_CROSS_TRIPLET}-g++)

# Multiarch keeps the target's libraries under /usr/lib/<triplet> beside the
# host's: libraries, headers and packages are looked for under the cross C
# library's root and then the host's, where CMAKE_LIBRARY_ARCHITECTURE puts
# lib/<triplet> ahead of the host's folders; programs are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${VESSIK_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VESSIK_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Libraries go to the multiarch folder, as in a native Debian build for /usr
# (GNUInstallDirs chooses lib/<triplet> there only when not cross-compiling).
set(CMAKE_INSTALL_LIBDIR lib/${VESSIK_CROSS_TRIPLET} CACHE PATH "Object code libraries")

# Test programs run under qemu-user with the target's own C library, the
# multiarch libc6:<arch> that libusb-1.0-0:<arch> brings, found from the host
# root. Not the cross C library under /usr/<triplet>: its loader is another
# build of glibc than the multiarch libc.so.6 the loader cache names, and the
# mix breaks fork() (the child spins on arm64, aborts on s390x).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${VESSIK_CROSS_QEMU};-L;/)

# Debian packages name the architecture their own way.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VESSIK_CROSS_DEB_ARCH})
