zn_fuzz_target(cookie zn_account)
