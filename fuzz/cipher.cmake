zn_fuzz_target(cipher zn_CommonUtils)
