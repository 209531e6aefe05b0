# The local handlers: webSearch through the router over 20,000 notes against
# the searcher called directly, and a 5 MB resource through the front
# against a plain file read. Needs the test helpers.
if(TARGET zn_test_support)
  zn_benchmark(Handlers zn_WebUI zn_test_support PkgConfig::CURL)
else()
  message(STATUS "bench_Handlers left out: it needs the test helpers (ZN_BUILD_TESTS)")
endif()
