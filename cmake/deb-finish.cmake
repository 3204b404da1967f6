# Run by cpack once the packages are made: gives them what CPack 3.25 cannot.
#  - The Multi-Arch field, from CPACK_ZORV_MULTIARCH (package=value); a
#    -dbgsym package has its package's.
#  - Packages in CPACK_ZORV_DROP_LDCONFIG_SCRIPTS lose the postinst and postrm
#    that CPack writes to call ldconfig: their dpkg trigger (activate-noawait
#    ldconfig) has the linker cache refreshed once, and the calls made twice
#    are what lintian warns of.
#  - The -dbgsym packages get an md5sums file of their own paths (CPack's
#    names its staging directory), their source package's name, and, as
#    debhelper gives them, their documentation through a link to their
#    package's folder.
# Each package is unpacked and built again with dpkg-deb.
find_program(ZORV_DPKG_DEB dpkg-deb REQUIRED)

function(zorv_multiarch package out)
  set(value "")
  string(REGEX REPLACE "-dbgsym$" "" base "${package}")
  foreach(entry IN LISTS CPACK_ZORV_MULTIARCH)
    if(entry MATCHES "^${base}=(.+)$")
      set(value "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${deb}" NAME)
  string(REGEX REPLACE "_.*" "" package "${name}")
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/finish/${package}")
  file(REMOVE_RECURSE "${tree}")
  file(MAKE_DIRECTORY "${CPACK_TOPLEVEL_DIRECTORY}/finish")
  execute_process(COMMAND ${ZORV_DPKG_DEB} --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX REPLACE "[ \t\n]+$" "\n" control "${control}")

  zorv_multiarch(${package} multiarch)
  if(multiarch AND NOT control MATCHES "\nMulti-Arch:")
    string(APPEND control "Multi-Arch: ${multiarch}\n")
  endif()
  file(WRITE "${tree}/DEBIAN/control" "${control}")

  if(package IN_LIST CPACK_ZORV_DROP_LDCONFIG_SCRIPTS)
    foreach(script postinst postrm)
      if(EXISTS "${tree}/DEBIAN/${script}")
        file(READ "${tree}/DEBIAN/${script}" body)
        # Only the script CPack wrote, never one of ours.
        string(REGEX REPLACE "#![^\n]*\n|set -e|if \\[[^]]*\\]; then|ldconfig|fi|[ \t\n]" "" rest "${body}")
        if(NOT rest STREQUAL "")
          message(FATAL_ERROR "${package}: ${script} does more than call ldconfig")
        endif()
        file(REMOVE "${tree}/DEBIAN/${script}")
      endif()
    endforeach()
  endif()

  if(control MATCHES "\nAuto-Built-Package: debug-symbols")
    string(REGEX REPLACE "-dbgsym$" "" base "${package}")
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK "${base}" "${tree}/usr/share/doc/${package}" SYMBOLIC)
    if(NOT control MATCHES "\nSource:")
      file(APPEND "${tree}/DEBIAN/control" "Source: ${CPACK_DEBIAN_PACKAGE_SOURCE}\n")
    endif()
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
    list(SORT files)
    set(md5sums "")
    foreach(f IN LISTS files)
      if(NOT IS_SYMLINK "${tree}/${f}")
        file(MD5 "${tree}/${f}" sum)
        string(APPEND md5sums "${sum}  ${f}\n")
      endif()
    endforeach()
    file(WRITE "${tree}/DEBIAN/md5sums" "${md5sums}")
  endif()

  # xz at its fastest level: the debug symbols are most of the bytes, and
  # level 6 spends a minute on them for a few per cent.
  execute_process(COMMAND ${ZORV_DPKG_DEB} --root-owner-group -Zxz -z1 --build "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
