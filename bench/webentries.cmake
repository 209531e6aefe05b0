# The entire web file entries of a folder's 10,000 children, written as
# JSON, next to the listing alone and against a baseline of raw SQLite and
# RapidJSON (header-only, Debian: rapidjson-dev); without RapidJSON the
# benchmark is left out.
find_path(ZN_RAPIDJSON_INCLUDE_DIR rapidjson/document.h)
if(ZN_RAPIDJSON_INCLUDE_DIR)
  zn_benchmark(WebEntries zn_Data)
  target_include_directories(bench_WebEntries SYSTEM PRIVATE ${ZN_RAPIDJSON_INCLUDE_DIR})
else()
  message(STATUS "bench_WebEntries left out: rapidjson-dev is needed")
endif()
