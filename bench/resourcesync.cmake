# A 100 MB attachment uploaded through the resource pusher and downloaded
# through the resource puller, next to plain libcurl doing the same
# transfers against the same local test note service.
if(TARGET zn_test_support)
  zn_benchmark(ResourceSync zn_sync zn_test_support PkgConfig::CURL)
endif()
