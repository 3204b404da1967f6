# Test programs are compiled without optimisation: they spend their time
# waiting on processes and buses, not computing, and unoptimised they compile
# in a third of the time (the library, the service and the tool they drive
# keep the tree's flags). Without optimisation fortified libc calls do
# nothing and glibc warns about asking for them: the request is taken back.
# Every test program is compiled with -pthread, whichever libraries it uses,
# so that all of them can share one precompiled header (tests/CMakeLists.txt).
function(zorv_test_code target)
  target_compile_options(${target} PRIVATE -O0 -U_FORTIFY_SOURCE -pthread)
endfunction()
