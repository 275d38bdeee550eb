# Build constants for the version report. string(TIMESTAMP) honours
# SOURCE_DATE_EPOCH, so a reproducible build only needs that variable set
# (and KESTRUM_BUILD_USER, if the user name should not vary either).
string(TIMESTAMP KESTRUM_BUILD_DATETIME "%a %b %d %H:%M:%S UTC %Y" UTC)
if(DEFINED ENV{KESTRUM_BUILD_USER})
  set(KESTRUM_BUILD_USER "$ENV{KESTRUM_BUILD_USER}")
elseif(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(KESTRUM_BUILD_USER "reproducible")
elseif(DEFINED ENV{USER})
  set(KESTRUM_BUILD_USER "$ENV{USER}")
elseif(DEFINED ENV{LOGNAME})
  set(KESTRUM_BUILD_USER "$ENV{LOGNAME}")
else()
  execute_process(COMMAND id -un OUTPUT_VARIABLE KESTRUM_BUILD_USER
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT KESTRUM_BUILD_USER)
    set(KESTRUM_BUILD_USER "unknown")
  endif()
endif()
set(KESTRUM_RELEASE "Kestrum ${PROJECT_VERSION}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/buildinfo.h.in
               ${PROJECT_BINARY_DIR}/generated/kestrum_buildinfo.h @ONLY)
