# Installs libvasq for applications: the shared library with its SONAME links,
# the public headers (C, the header-only C++ interface, service), a pkg-config file, a CMake package giving vasq::vasq,
# and the udev rule that lets a logged-in user open the instrument's port.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Relative to the install prefix unless absolute. udev reads /usr/lib/udev/rules.d
# (and /lib/..., /etc/udev/rules.d), so the default fits the prefix /usr; under
# /usr/local the rule would lie where udev does not look.
set(VASQ_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule is installed")
set(VASQ_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/vasq")

install(TARGETS vasq EXPORT vasqTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/vasq.h include/vasq.hpp include/vasq_service.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

install(EXPORT vasqTargets NAMESPACE vasq:: FILE vasqTargets.cmake
  DESTINATION ${VASQ_CMAKE_PACKAGE_DIR} COMPONENT Development)
configure_package_config_file(cmake/vasqConfig.cmake.in ${PROJECT_BINARY_DIR}/vasqConfig.cmake
  INSTALL_DESTINATION ${VASQ_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vasqConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vasqConfig.cmake ${PROJECT_BINARY_DIR}/vasqConfigVersion.cmake
  DESTINATION ${VASQ_CMAKE_PACKAGE_DIR} COMPONENT Development)

# The pkg-config file finds the tree relative to itself, so the prefix given to
# `cmake --install --prefix` holds as well as the configured one. Packages for
# a fixed prefix turn that off: pkg-config leaves the system's folders out of
# the flags only when they are written plainly.
option(VASQ_PKGCONFIG_RELOCATABLE "pkg-config file finds the installed tree relative to itself" ON)
function(vasq_pc_dir var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR NOT VASQ_PKGCONFIG_RELOCATABLE)
  set(VASQ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH VASQ_PC_UP "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" VASQ_PC_UP "${VASQ_PC_UP}")
  set(VASQ_PC_PREFIX "\${pcfiledir}/${VASQ_PC_UP}")
endif()
vasq_pc_dir(VASQ_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
vasq_pc_dir(VASQ_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(cmake/vasq.pc.in ${PROJECT_BINARY_DIR}/vasq.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vasq.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

install(FILES udev/70-vasq.rules DESTINATION ${VASQ_UDEV_RULES_DIR} COMPONENT Runtime)
