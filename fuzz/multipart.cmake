zn_fuzz_target(multipart zn_account)
