zn_fuzz_target(zip zn_CommonUtils)
