# The first push of 10,000 new notes to the local test note service, next to
# the same requests sent by the network operation alone.
if(TARGET zn_test_support)
  zn_benchmark(SyncPush zn_sync zn_test_support)
endif()
