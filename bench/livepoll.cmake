# A change on the local test note service reaching the store through the
# long poll, next to the same pull started directly.
if(TARGET zn_test_support)
  zn_benchmark(LivePoll zn_sync zn_test_support)
endif()
