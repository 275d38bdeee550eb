# What `cmake --install` adds beyond the targets' own install rules: the
# CMake package (find_package(Kestrum)) and the pkg-config file kestrum.pc.
include(CMakePackageConfigHelpers)

set(KESTRUM_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrum)

install(EXPORT KestrumTargets
  NAMESPACE Kestrum::
  DESTINATION ${KESTRUM_CMAKE_INSTALL_DIR}
  COMPONENT development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/KestrumConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/KestrumConfig.cmake
  INSTALL_DESTINATION ${KESTRUM_CMAKE_INSTALL_DIR})
# A new major version may change the interface; within one, it only grows.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/package/KestrumConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/KestrumConfig.cmake
  ${PROJECT_BINARY_DIR}/package/KestrumConfigVersion.cmake
  DESTINATION ${KESTRUM_CMAKE_INSTALL_DIR}
  COMPONENT development)

# The library is C++ inside: a C program that links the static archive also
# needs the C++ runtime, that is, what a C++ link adds to a C one.
set(kestrum_cxx_runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
if(CMAKE_C_IMPLICIT_LINK_LIBRARIES)
  list(REMOVE_ITEM kestrum_cxx_runtime ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
endif()
list(REMOVE_DUPLICATES kestrum_cxx_runtime)
set(KESTRUM_PC_LIBS_PRIVATE "")
foreach(lib IN LISTS kestrum_cxx_runtime)
  if(IS_ABSOLUTE "${lib}" OR lib MATCHES "^-")
    string(APPEND KESTRUM_PC_LIBS_PRIVATE " ${lib}")
  else()
    string(APPEND KESTRUM_PC_LIBS_PRIVATE " -l${lib}")
  endif()
endforeach()
string(STRIP "${KESTRUM_PC_LIBS_PRIVATE}" KESTRUM_PC_LIBS_PRIVATE)

# Directories in kestrum.pc are written relative to ${prefix} unless they
# were configured as absolute paths.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KESTRUM_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KESTRUM_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()

# kestrum.pc is written when installing, so that it records the prefix given
# to `cmake --install --prefix` rather than the configured one (and never
# DESTDIR, which only stages the files).
set(KESTRUM_PC_PREFIX "@KESTRUM_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrum.pc.in
  ${PROJECT_BINARY_DIR}/package/kestrum.pc.in @ONLY)
install(CODE "
  set(KESTRUM_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/package/kestrum.pc.in\"
                 \"${PROJECT_BINARY_DIR}/package/kestrum.pc\" @ONLY)"
  COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/package/kestrum.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
