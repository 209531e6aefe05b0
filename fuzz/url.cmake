zn_fuzz_target(url zn_CommonUtils)
