# Installed files that are not built (manual pages, logging configuration,
# Debian documentation) and the Debian packages made by `cpack -G DEB`: the
# runtime library, its development files, the service and the tool. Packages
# are built from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr.

set(ZORV_DEB_PACKAGES runtime libzorvlabelmgr1 dev libzorvlabelmgr-dev tool zorv-label)
if(TARGET zorv-labelmgrd)
  list(APPEND ZORV_DEB_PACKAGES daemon zorv-labelmgrd)
endif()
if(TARGET zorvlabelmgr_python)
  list(APPEND ZORV_DEB_PACKAGES python python3-zorvlabelmgr)
endif()

# Manual pages, compressed as Debian keeps them.
function(zorv_install_man page component)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section ${name})
  set(out ${PROJECT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9nc '${page}' > '${out}'"
    DEPENDS ${page} VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
zorv_install_man(${PROJECT_SOURCE_DIR}/docs/man/zorv-label.1 tool)
if(TARGET zorv-labelmgrd)
  zorv_install_man(${PROJECT_SOURCE_DIR}/docs/man/zorv-labelmgrd.8 daemon)
endif()

# The library reads its logging configuration from one fixed place; a tree
# installed under another prefix keeps the file beside itself instead.
if(CMAKE_INSTALL_FULL_SYSCONFDIR STREQUAL "/etc")
  set(ZORV_LOG_CONFIG_DIR /etc/zorv/label)
else()
  set(ZORV_LOG_CONFIG_DIR ${CMAKE_INSTALL_SYSCONFDIR}/zorv/label)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zorv-label-log.properties DESTINATION ${ZORV_LOG_CONFIG_DIR}
  COMPONENT runtime)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "/etc/zorv/label/zorv-label-log.properties\n")
# The linker cache is refreshed through dpkg's trigger.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")

# Each package carries the copyright and the changelog in its own doc folder.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND sh -c "gzip -9nc '${PROJECT_SOURCE_DIR}/packaging/changelog' > '${PROJECT_BINARY_DIR}/packaging/changelog.gz'"
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(packaging_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
set(pairs ${ZORV_DEB_PACKAGES})
while(pairs)
  list(POP_FRONT pairs component package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  list(APPEND CPACK_COMPONENTS_ALL ${component})
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorvlabelmgr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zorv label manager team <zorv-labelmgr@nimbo.com>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on Debian's libraries come from dpkg-shlibdeps; the library of
# this build is found where it was built, and the component dependencies
# below pin it to this version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles
  ${PROJECT_BINARY_DIR}/packaging/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library of the zorv label manager
libzorvlabelmgr lets applications, package tools and administration utilities
read and change the mandatory-access-control labels of files, packages,
devices and kernel modules through the zorv label manager service, store a
file's label in its security.zorv attribute and follow label changes.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
# Only the callers of the dbus-c++ proxy (zorv/proxy.hpp) need dbus-c++'s own
# development files.
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS libdbus-c++-dev)
set(CPACK_DEBIAN_DEV_DESCRIPTION "client library of the zorv label manager - development files
The C and C++ headers of libzorvlabelmgr, one per area, its pkg-config files
and its CMake package (find_package(zorvlabelmgr)).")

set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS zorv-labelmgrd)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "command-line tool of the zorv label manager
zorv-label reads and changes the labels kept by the zorv label manager
service, labels whole packages, reads and writes a file's own label and
follows label changes, with tables for people and JSON for scripts.")

set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_DAEMON_DEPENDS runtime)
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "default-dbus-system-bus | dbus-system-bus")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/daemon/postinst
  ${PROJECT_SOURCE_DIR}/packaging/daemon/prerm
  ${PROJECT_SOURCE_DIR}/packaging/daemon/postrm)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "zorv label manager service
zorv-labelmgrd owns the labels of files, packages, devices and kernel
modules on the D-Bus system bus, keeps them in an SQLite database and
announces every change.")

# The extension is built for Debian's python3 of this release (its name
# carries the version).
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.11), python3 (<< 3.12)")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/python/postinst
  ${PROJECT_SOURCE_DIR}/packaging/python/prerm)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python 3 module of the zorv label manager
zorvlabelmgr gives Python scripts the calls of libzorvlabelmgr: read and
change the labels kept by the zorv label manager service, label whole
packages, encode and store a file's own label and follow label changes,
with exceptions for failures and type information for editors.")

include(CPack)

# The package checks (scripts/package-check.sh) as ctest cases, for a tree
# configured for the packages. They need root and Debian's package registry,
# and install and remove the packages on this machine.
option(ZORV_PACKAGE_CHECK "Register the Debian package checks as tests (root, apt)" OFF)
if(ZORV_PACKAGE_CHECK)
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "ZORV_PACKAGE_CHECK needs -DCMAKE_INSTALL_PREFIX=/usr")
  endif()
  foreach(step debs lintian install use remove)
    add_test(NAME package_${step} COMMAND ${PROJECT_SOURCE_DIR}/scripts/package-check.sh ${step} ${PROJECT_BINARY_DIR})
    set_tests_properties(package_${step} PROPERTIES TIMEOUT 900 RESOURCE_LOCK installed_packages)
  endforeach()
  set_tests_properties(package_debs PROPERTIES FIXTURES_SETUP debs)
  set_tests_properties(package_lintian PROPERTIES FIXTURES_REQUIRED debs)
  set_tests_properties(package_install PROPERTIES FIXTURES_REQUIRED debs FIXTURES_SETUP installed)
  set_tests_properties(package_use PROPERTIES FIXTURES_REQUIRED installed)
  set_tests_properties(package_remove PROPERTIES FIXTURES_CLEANUP installed)
endif()
