# The JSON codec against RapidJSON (DOM) and nlohmann/json. Both are
# header-only and needed by this benchmark alone (Debian: rapidjson-dev,
# nlohmann-json3-dev); without them the benchmark is left out.
find_path(ZN_RAPIDJSON_INCLUDE_DIR rapidjson/document.h)
find_path(ZN_NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp)
if(ZN_RAPIDJSON_INCLUDE_DIR AND ZN_NLOHMANN_JSON_INCLUDE_DIR)
  zn_benchmark(JSON zn_CommonUtils)
  target_include_directories(bench_JSON SYSTEM PRIVATE ${ZN_RAPIDJSON_INCLUDE_DIR} ${ZN_NLOHMANN_JSON_INCLUDE_DIR})
else()
  message(STATUS "bench_JSON left out: rapidjson-dev and nlohmann-json3-dev are needed")
endif()
