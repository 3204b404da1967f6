# Read by cpack in a tree built for another processor: dpkg-shlibdeps, which
# cpack runs, reads the target's libraries with the target's objdump and
# looks for them in its multiarch folders when it knows the architecture.
if(CPACK_ZORV_HOST_ARCH)
  set(ENV{DEB_HOST_ARCH} ${CPACK_ZORV_HOST_ARCH})
endif()
