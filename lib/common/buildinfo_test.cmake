# The version report's build constants are reproducible: with
# SOURCE_DATE_EPOCH set, the date is that moment in UTC and the user name is
# fixed, so two builds of the same sources report the same thing.
set(PROJECT_BINARY_DIR ${WORK_DIR})
set(ENV{SOURCE_DATE_EPOCH} 86399)
unset(ENV{KESTRUM_BUILD_USER})
include(${SOURCE_DIR}/cmake/BuildInfo.cmake)
file(READ ${WORK_DIR}/generated/kestrum_buildinfo.h header)
foreach(expected
    "#define KESTRUM_RELEASE \"Kestrum ${PROJECT_VERSION}\""
    "#define KESTRUM_COMPILE_TIME \"Thu Jan 01 23:59:59 UTC 1970\""
    "#define KESTRUM_COMPILED_BY \"reproducible\"")
  string(FIND "${header}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing: ${expected}\nin:\n${header}")
  endif()
endforeach()
