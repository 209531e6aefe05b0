# The first full pull of bodies from the local test note service into an
# empty store, next to a reference doing the same file, store and index work
# for the same bodies without network.
if(TARGET zn_test_support)
  zn_benchmark(SyncPull zn_sync zn_test_support)
endif()
