zn_fuzz_target(json zn_CommonUtils)
