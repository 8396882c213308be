# SPDX-License-Identifier: LGPL-2.1-or-later
# Debian packages (cpack -G DEB), one per install component. Build them from
# a tree configured with -DCMAKE_INSTALL_PREFIX=/usr, so that the library
# lands in the multiarch folder (lib/<triplet>) as Debian expects.
set(_deb_release 1)
set(_deb_version "${PROJECT_VERSION}-${_deb_release}")
set(_deb_runtime libvessik${PROJECT_VERSION_MAJOR})
set(_deb_standin libwltdec64-standin)
set(_deb_decoder "${_deb_standin} | libwltdec64") # a real decoder may provide libwltdec64
set(_deb_prefix /usr)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vessik)
set(CPACK_PACKAGE_VENDOR "libvessik developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VESSIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${_deb_prefix})
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev standin tools python)
if(TARGET vessik-virtual-reader)
  list(APPEND CPACK_COMPONENTS_ALL virtual_reader)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${_deb_release})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VESSIK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# Maintainer scripts and control files, with the paths the packages use.
set(VESSIK_DEB_LIBDIR "${_deb_prefix}/${CMAKE_INSTALL_LIBDIR}")
set(VESSIK_DEB_STANDIN "${_deb_prefix}/${VESSIK_INSTALL_STANDINDIR}/libwltdec64.so")
set(VESSIK_DEB_DECODER_LINK "${VESSIK_DEB_LIBDIR}/libwltdec64.so")
set(VESSIK_DEB_ALTERNATIVE libwltdec64.so)
if(CMAKE_LIBRARY_ARCHITECTURE)
  string(APPEND VESSIK_DEB_ALTERNATIVE "-${CMAKE_LIBRARY_ARCHITECTURE}")
endif()
set(VESSIK_DEB_STANDIN_PRIORITY 10) # any real decoder registered higher wins
set(VESSIK_DEB_RUNTIME ${_deb_runtime})
set(VESSIK_DEB_SYSUSERS_DIR "${_deb_prefix}/lib/sysusers.d")
set(_deb_dir "${CMAKE_CURRENT_BINARY_DIR}/deb")
set(VESSIK_DEB_PYTHON python3-vessik)
foreach(script runtime/postinst runtime/shlibs runtime/triggers
               standin/postinst standin/prerm standin/triggers
               tools/postinst tools/prerm tools/postrm python/postinst python/prerm)
  configure_file(deb/${script}.in "${_deb_dir}/${script}" @ONLY)
endforeach()

# Every package carries the licence (machine-readable) and the changelog in
# its doc folder, as Debian policy asks; the changelog is compressed with no
# timestamp, so that two builds of one tree give the same packages.
set(VESSIK_DEB_VERSION ${_deb_version})
configure_file(deb/changelog.in "${_deb_dir}/doc/changelog.Debian" @ONLY)
execute_process(COMMAND gzip -9nf "${_deb_dir}/doc/changelog.Debian" RESULT_VARIABLE _deb_gzip)
if(NOT _deb_gzip EQUAL 0)
  message(FATAL_ERROR "packaging: gzip could not compress the Debian changelog")
endif()
# lintian's overrides likewise: what every package shares, then its own, each
# with its reason beside it.
function(vessik_deb_docs component package)
  install(FILES "${CMAKE_CURRENT_SOURCE_DIR}/deb/copyright" "${_deb_dir}/doc/changelog.Debian.gz"
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
  file(READ "${CMAKE_CURRENT_SOURCE_DIR}/deb/lintian/common" overrides)
  if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/deb/lintian/${package}")
    file(READ "${CMAKE_CURRENT_SOURCE_DIR}/deb/lintian/${package}" own)
    string(APPEND overrides "${own}")
  endif()
  file(WRITE "${_deb_dir}/lintian/${package}" "${overrides}")
  install(FILES "${_deb_dir}/lintian/${package}" DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

# The packages hold what a /usr install puts where: a tree configured for
# another prefix (the README's /usr/local, say) would pack programs under
# /usr whose unit and settings paths point elsewhere. cpack refuses it.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL _deb_prefix)
  set(_deb_refusal "${CMAKE_CURRENT_BINARY_DIR}/deb/refuse-prefix.cmake")
  file(WRITE "${_deb_refusal}" "message(FATAL_ERROR \"The Debian packages are built from a tree \
configured with -DCMAKE_INSTALL_PREFIX=${_deb_prefix}; this one is configured for \
${CMAKE_INSTALL_PREFIX}.\")\n")
  set(CPACK_PROJECT_CONFIG_FILE "${_deb_refusal}")
endif()

# runtime: the library and the udev rule for the reader. Its card wipes call
# explicit_bzero, which glibc has since 2.25; it finds the photo decoder with
# dlsym and loads libpng16 with dlopen, in libc itself since 2.34 (libpng is
# not a needed library of its own, so shlibdeps would not name it).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_deb_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libstdc++6, libgcc-s1, libusb-1.0-0, libpng16-16")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "${_deb_decoder}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  "${_deb_dir}/runtime/postinst;${_deb_dir}/runtime/shlibs;${_deb_dir}/runtime/triggers")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "library for USB identity-card readers with a security module
libvessik reads resident identity cards through a USB reader that carries a
security module (USB ${VESSIK_USB_VENDOR}:${VESSIK_USB_PRODUCT}) and fills a record with the card's
fields and compressed photo. A program that loads it links libusb-1.0 and
libwltdec64 itself. The package also holds a udev rule that gives the
user at the seat (uaccess) and the group vessik access to the reader.")

# dev: what a client builds and links against.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvessik-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${_deb_runtime} (= ${_deb_version}), libusb-1.0-0-dev, ${_deb_decoder}")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "pkg-config | pkgconf, cmake")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files for libvessik
The C header vessik.h, the C++ class headers, the libvessik.so link,
vessik.pc for pkg-config and the CMake package (find_package(vessik) gives
the target vessik::vessik). Clients link with -lvessik -lusb-1.0 -lwltdec64.")

# standin: the photo decoder stand-in, kept out of the way of the real one.
set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME ${_deb_standin})
set(CPACK_DEBIAN_STANDIN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS "libc6")
set(CPACK_DEBIAN_STANDIN_PACKAGE_PROVIDES libwltdec64)
set(CPACK_DEBIAN_STANDIN_PACKAGE_CONTROL_EXTRA
  "${_deb_dir}/standin/postinst;${_deb_dir}/standin/prerm;${_deb_dir}/standin/triggers")
set(CPACK_DEBIAN_STANDIN_DESCRIPTION "stand-in for the libwltdec64 photo decoder
Lets programs built with -lwltdec64 link and run without the closed photo
decoder: it decodes nothing, writes no file and says so. It lies in a folder
of its own; the libwltdec64.so link in the library folder is the alternative
${VESSIK_DEB_ALTERNATIVE} (priority ${VESSIK_DEB_STANDIN_PRIORITY}), so a real
decoder registered at a higher priority takes its place.")

# tools: demo, doctor, vessik-read and vessikd.
set(_deb_tools_depends "${_deb_runtime} (= ${_deb_version}), libusb-1.0-0, ${_deb_decoder}")
string(APPEND _deb_tools_depends ", libc6, libstdc++6, libgcc-s1")
set(_deb_tools_control "${_deb_dir}/tools/postinst;${_deb_dir}/tools/prerm;${_deb_dir}/tools/postrm")
if(TARGET vessikd)
  # cpp-httplib's runtime package carries its major.minor in its name.
  pkg_check_modules(_deb_httplib QUIET cpp-httplib)
  if(_deb_httplib_VERSION MATCHES "^([0-9]+\\.[0-9]+)")
    string(APPEND _deb_tools_depends ", libcpp-httplib${CMAKE_MATCH_1}")
  else()
    message(FATAL_ERROR "packaging: cannot tell cpp-httplib's version for vessik-tools' Depends")
  endif()
  # logind's seats and socket activation.
  string(APPEND _deb_tools_depends ", libsystemd0")
  # The service's settings are the admin's: dpkg keeps local edits on upgrade.
  file(WRITE "${_deb_dir}/tools/conffiles" "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vessik/vessikd.conf\n")
  list(APPEND _deb_tools_control "${_deb_dir}/tools/conffiles")
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vessik-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${_deb_tools_depends}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA "${_deb_tools_control}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tools for libvessik
vessik_demo polls the reader and prints every card it reads; vessik-doctor
says whether a card read can start here and, if not, why; vessik-read prints
cards as text or JSON; vessikd serves the reader to web pages on this
computer (loopback only, to the users the machine trusts). Its units are
installed, not enabled: systemctl enable --now vessikd.socket.")

# virtual_reader: the emulated reader, for tests and trials only.
set(CPACK_DEBIAN_VIRTUAL_READER_PACKAGE_NAME vessik-virtual-reader)
set(CPACK_DEBIAN_VIRTUAL_READER_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_VIRTUAL_READER_PACKAGE_DEPENDS
  "libc6, libstdc++6, libgcc-s1, libumockdev0, libglib2.0-0")
set(CPACK_DEBIAN_VIRTUAL_READER_PACKAGE_SUGGESTS vessik-tools)
set(CPACK_DEBIAN_VIRTUAL_READER_DESCRIPTION "emulated identity-card reader for testing libvessik
vessik-virtual-reader runs any program against an emulated reader holding a
card (a sample card is in /usr/share/vessik/cards), through umockdev.
Production machines need not install it.")

# python: the Python package, byte-compiled on install. It refuses a library
# of another interface version, so it takes the library of its own release.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${VESSIK_DEB_PYTHON})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "${_deb_runtime} (= ${_deb_version}), python3 (>= 3.8), ${_deb_decoder}")
# Image.to_pil() only.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS python3-pil)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  "${_deb_dir}/python/postinst;${_deb_dir}/python/prerm")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python package for libvessik
import vessik; vessik.read() reads an identity card and gives it as a frozen
dataclass; vessik.open() keeps a reader open for reads and watches,
vessik.readers() lists the readers, and the vessik command prints cards as
text or as the JSON vessik-read prints. Pure Python over the library's C
interface (ctypes), with type hints.")

vessik_deb_docs(runtime ${_deb_runtime})
vessik_deb_docs(dev libvessik-dev)
vessik_deb_docs(standin ${_deb_standin})
vessik_deb_docs(tools vessik-tools)
vessik_deb_docs(virtual_reader vessik-virtual-reader)
vessik_deb_docs(python ${VESSIK_DEB_PYTHON})

include(CPack)
