zn_fuzz_target(codec zn_CommonUtils)
