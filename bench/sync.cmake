# Sync engine: the tree order against a sort by depth; with the tests' support
# library, one empty sync cycle against the local test note service.
zn_benchmark(Sync zn_sync)
if(TARGET zn_test_support)
  target_link_libraries(bench_Sync PRIVATE zn_test_support)
  target_compile_definitions(bench_Sync PRIVATE ZN_SYNC_BENCH_SERVICE)
endif()
