zn_fuzz_target(predicate zn_Data)
