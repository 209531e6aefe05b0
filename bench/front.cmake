# The loopback front: listPage requests over TLS through the front against
# the same requests straight into the router, and a bare loopback TLS round
# trip. Needs the test helpers (store environment, note service).
if(TARGET zn_test_support)
  zn_benchmark(Front zn_WebUI zn_test_support PkgConfig::CURL)
else()
  message(STATUS "bench_Front left out: it needs the test helpers (ZN_BUILD_TESTS)")
endif()
