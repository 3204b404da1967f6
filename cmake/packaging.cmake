# Installed files that are not built (manual pages, logging configuration,
# Debian documentation) and the Debian packages made by `cpack -G DEB`:
#
#   libzorvlabelmgr1        the runtime library (Multi-Arch: same)
#   libzorvlabelmgr-common  its logging configuration, logrotate snippet and
#                           log directory, shared by every program using it
#   libzorvlabelmgr-dev     headers, pkg-config and CMake files, examples
#   libzorvlabelmgr-doc     the API reference (with -DZORV_BUILD_DOCS=ON)
#   zorv-label              the tool
#   zorv-labelmgrd          the service
#   python3-zorvlabelmgr    the Python module
#
# and a -dbgsym package with the debug symbols of each package that has
# binaries. cpack installs under /usr whatever prefix the tree was configured
# with, and gives the same packages; build RelWithDebInfo for debug symbols.

set(ZORV_DEB_PACKAGES runtime libzorvlabelmgr1 common libzorvlabelmgr-common dev libzorvlabelmgr-dev
  tool zorv-label daemon zorv-labelmgrd)
if(TARGET zorvlabelmgr_python)
  list(APPEND ZORV_DEB_PACKAGES python python3-zorvlabelmgr)
endif()
if(ZORV_BUILD_DOCS)
  list(APPEND ZORV_DEB_PACKAGES doc libzorvlabelmgr-doc)
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
# The label model for administrators, with the tool that works on it.
install(FILES ${PROJECT_SOURCE_DIR}/docs/labels.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zorv-label COMPONENT tool)
zorv_install_man(${PROJECT_SOURCE_DIR}/docs/man/zorv-labelmgrd.8 daemon)

# Files of the system's own directories (/etc): installed under /usr (as cpack
# does) they go to /etc, under another prefix beside the tree. Decided when
# installing, since the prefix of the installation need not be the one the
# tree was configured with.
function(zorv_install_system_file file dir name component)
  install(CODE "
    set(zorv_system_dir \"\${CMAKE_INSTALL_PREFIX}/${dir}\")
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/(usr/?)?$\")
      set(zorv_system_dir \"/${dir}\")
    endif()
    file(INSTALL DESTINATION \"\${zorv_system_dir}\" TYPE FILE RENAME \"${name}\" FILES \"${file}\")
    " COMPONENT ${component})
endfunction()
# The library reads its logging configuration from one fixed place.
zorv_install_system_file(${PROJECT_SOURCE_DIR}/packaging/zorv-label-log.properties etc/zorv/label
  zorv-label-log.properties common)
zorv_install_system_file(${PROJECT_SOURCE_DIR}/packaging/common/logrotate etc/logrotate.d zorvlabelmgr common)
# The dpkg hook that keeps the service's packages in step with dpkg's
# database (zorv-label sync-packages after every dpkg run).
zorv_install_system_file(${PROJECT_SOURCE_DIR}/packaging/tool/dpkg.cfg etc/dpkg/dpkg.cfg.d zorv-label tool)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/tool/dpkg-post-invoke
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zorv-label COMPONENT tool)

# Shell completion of the tool.
install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/zorv-label.bash RENAME zorv-label
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tool)
install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/_zorv-label
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT tool)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/daemon/lintian-overrides RENAME zorv-labelmgrd
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tool/lintian-overrides RENAME zorv-label
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT tool)

# Each package carries the copyright and the changelog in its own doc folder.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND sh -c "gzip -9nc '${PROJECT_SOURCE_DIR}/packaging/changelog' > '${PROJECT_BINARY_DIR}/packaging/changelog.gz'"
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(packaging_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
set(pairs ${ZORV_DEB_PACKAGES})
while(pairs)
  list(POP_FRONT pairs component package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  list(APPEND CPACK_COMPONENTS_ALL ${component})
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorvlabelmgr)
# The packages are built from one source: lintian checks them as a group.
set(CPACK_DEBIAN_PACKAGE_SOURCE zorvlabelmgr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zorv label manager team <zorv-labelmgr@nimbo.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Binaries are installed unstripped; cpack moves their debug information into
# the -dbgsym packages (.ddeb) and links each binary to it by build id.
# Only the packages with binaries are searched for them: cpack runs file(1)
# once per file of each package it searches, several seconds for the API
# reference alone.
set(CPACK_STRIP_FILES OFF)
foreach(component RUNTIME TOOL DAEMON PYTHON)
  set(CPACK_DEBIAN_${component}_DEBUGINFO_PACKAGE ON)
endforeach()
foreach(component COMMON DEV DOC)
  set(CPACK_DEBIAN_${component}_PACKAGE_SHLIBDEPS OFF)
endforeach()
# Dependencies on Debian's libraries come from dpkg-shlibdeps; the library of
# this build is found where it was built, and the component dependencies
# below pin it to this version. Programs built elsewhere get their dependency
# on the library from its symbols file, or else its shlibs (>= 1.0.0).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# A tree built for another processor (the arm64 tree) makes the packages of
# that architecture. dpkg-shlibdeps then finds Debian's libraries in the
# target's sysroot, with the symbols and shlibs files that
# scripts/arm64-sysroot.sh gathers there, and reads them with the target's
# objdump (cmake/deb-cross.cmake tells it the architecture).
set(CPACK_ZORV_OBJCOPY ${CMAKE_OBJCOPY})
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE CPACK_ZORV_HOST_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT CPACK_ZORV_HOST_ARCH)
    message(FATAL_ERROR "dpkg-architecture knows no Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CPACK_ZORV_HOST_ARCH})
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/deb-cross.cmake)
endif()
# What CPack 3.25 cannot write itself (cmake/deb-finish.cmake): the
# Multi-Arch field, and the removal of the ldconfig calls it puts in the
# library's maintainer scripts (its dpkg trigger runs ldconfig once), and of
# the compilers' .comment sections (cmake/deb-strip-comments.cmake).
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-strip-comments.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-finish.cmake)
set(CPACK_ZORV_MULTIARCH "libzorvlabelmgr1=same;libzorvlabelmgr-dev=same;libzorvlabelmgr-common=foreign"
  "libzorvlabelmgr-doc=foreign")
set(CPACK_ZORV_DROP_LDCONFIG_SCRIPTS libzorvlabelmgr1)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DEPENDS common)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/library/symbols
  ${PROJECT_SOURCE_DIR}/packaging/library/shlibs
  ${PROJECT_SOURCE_DIR}/packaging/library/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library of the zorv label manager
libzorvlabelmgr lets applications, package tools and administration utilities
read and change the mandatory-access-control labels of files, packages,
devices and kernel modules through the zorv label manager service, store a
file's label in its security.zorv attribute and follow label changes.")

# The logging configuration was in libzorvlabelmgr1 up to 1.0.0.
set(CPACK_DEBIAN_COMMON_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_COMMON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_COMMON_PACKAGE_BREAKS "libzorvlabelmgr1 (<< 1.0.1)")
set(CPACK_DEBIAN_COMMON_PACKAGE_REPLACES "libzorvlabelmgr1 (<< 1.0.1)")
set(CPACK_DEBIAN_COMMON_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_COMMON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/common/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/common/postinst
  ${PROJECT_SOURCE_DIR}/packaging/common/postrm)
set(CPACK_DEBIAN_COMMON_DESCRIPTION "client library of the zorv label manager - common files
The logging configuration of libzorvlabelmgr, its logrotate snippet and the
log directory /var/log/zorv, which every program using the library shares.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
# Only the callers of the dbus-c++ proxy (zorv/proxy.hpp) need dbus-c++'s own
# development files.
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "libdbus-c++-dev, libzorvlabelmgr-doc")
set(CPACK_DEBIAN_DEV_DESCRIPTION "client library of the zorv label manager - development files
The C and C++ headers of libzorvlabelmgr, one per area, its pkg-config files
and its CMake package (find_package(zorvlabelmgr)), with example programs in
C and C++.")

set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DOC_PACKAGE_DEPENDS libjs-jquery)
set(CPACK_DEBIAN_DOC_DESCRIPTION "client library of the zorv label manager - API reference
The reference of every call of libzorvlabelmgr in HTML, made from its
headers: arguments, result codes and thread safety, call by call.")

set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS zorv-labelmgrd)
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/tool/conffiles)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "command-line tool of the zorv label manager
zorv-label reads and changes the labels kept by the zorv label manager
service, labels whole packages, reads and writes a file's own label and
follows label changes, with tables for people and JSON for scripts. A dpkg
hook labels the files of every package dpkg installs or upgrades and drops
those of the packages it removes.")

set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_DAEMON_DEPENDS runtime)
# deb-systemd-helper and deb-systemd-invoke, which the maintainer scripts use.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "default-dbus-system-bus | dbus-system-bus, init-system-helpers (>= 1.54~)")
# zorv-relabel.service runs the tool.
set(CPACK_DEBIAN_DAEMON_PACKAGE_SUGGESTS zorv-label)
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
  set(steps debs lintian symbols install use remove)
  # Another processor's packages are made and checked here, but installing
  # and using them needs a machine of that processor.
  if(CMAKE_CROSSCOMPILING)
    set(steps debs lintian symbols)
    message(STATUS "The ${CPACK_ZORV_HOST_ARCH} packages are made and checked (lintian, symbols), "
      "not installed: that needs an ${CPACK_ZORV_HOST_ARCH} machine")
  endif()
  foreach(step ${steps})
    add_test(NAME package_${step} COMMAND ${PROJECT_SOURCE_DIR}/scripts/package-check.sh ${step} ${PROJECT_BINARY_DIR})
    # Label "package", for running the check alone (ctest -L package) or
    # leaving it out (-LE package).
    set_tests_properties(package_${step} PROPERTIES TIMEOUT 900 RESOURCE_LOCK installed_packages LABELS package)
  endforeach()
  set_tests_properties(package_debs PROPERTIES FIXTURES_SETUP debs)
  set_tests_properties(package_lintian package_symbols PROPERTIES FIXTURES_REQUIRED debs)
  if(NOT CMAKE_CROSSCOMPILING)
    set_tests_properties(package_install PROPERTIES FIXTURES_REQUIRED debs FIXTURES_SETUP installed)
    set_tests_properties(package_use PROPERTIES FIXTURES_REQUIRED installed)
    set_tests_properties(package_remove PROPERTIES FIXTURES_CLEANUP installed)
  endif()
endif()
