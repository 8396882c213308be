# SPDX-License-Identifier: LGPL-2.1-or-later
# One manual page: the scdoc source without its licence line (scdoc wants the
# page's name first), this build's paths put in, rendered by scdoc, and
# compressed as Debian wants it (gzip -9n: no name, no time, so two builds
# give the same bytes).
#   cmake -DSOURCE=... -DPAGE=... -DSCDOC=... -D<VAR>=... -P build_page.cmake
file(READ "${SOURCE}" text)
string(REGEX REPLACE "^;[^\n]*\n" "" text "${text}")
string(CONFIGURE "${text}" text @ONLY)
string(REGEX MATCH "@[A-Za-z_]+@" unset "${text}")
if(unset)
  message(FATAL_ERROR "${SOURCE}: ${unset} is not given to build_page.cmake")
endif()
file(WRITE "${PAGE}.scd" "${text}")
execute_process(COMMAND "${SCDOC}" INPUT_FILE "${PAGE}.scd" OUTPUT_FILE "${PAGE}"
  RESULT_VARIABLE status ERROR_VARIABLE error)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scdoc ${SOURCE}: ${error}")
endif()
execute_process(COMMAND gzip -9n -c "${PAGE}" OUTPUT_FILE "${PAGE}.gz" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${PAGE} failed")
endif()
