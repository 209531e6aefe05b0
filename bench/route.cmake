# Request routing: classification, interface files through the URL protocol,
# and forwarding to a local note service against plain libcurl. The note
# service comes from the test helpers, so the benchmark needs the tests.
if(TARGET zn_test_support)
  zn_benchmark(Route zn_WebUI zn_test_support)
else()
  message(STATUS "bench_Route left out: it needs the test helpers (ZN_BUILD_TESTS)")
endif()
