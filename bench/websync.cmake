# Saving from the web interface through the front (a note save, a 100 MB
# upload) against the direct save, a loopback TLS round trip and the disk.
# Needs the test helpers (store environment, note service).
if(TARGET zn_test_support)
  zn_benchmark(WebSync zn_WebUI zn_test_support PkgConfig::CURL)
else()
  message(STATUS "bench_WebSync left out: it needs the test helpers (ZN_BUILD_TESTS)")
endif()
