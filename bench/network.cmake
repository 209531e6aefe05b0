# The HTTP network operation against plain libcurl easy handles, both talking
# to the test note service (tests/support, Boost.Beast over OpenSSL), which is
# compiled in here because the benchmark build leaves the tests out.
find_package(Boost 1.74 QUIET)
if(Boost_FOUND)
  zn_benchmark(Network zn_account Boost::headers OpenSSL::SSL OpenSSL::Crypto PkgConfig::CURL)
  target_sources(bench_Network PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/TestNoteService.cpp)
  target_include_directories(bench_Network PRIVATE ${CMAKE_SOURCE_DIR}/tests)
else()
  message(STATUS "bench_Network left out: libboost-dev is needed")
endif()
