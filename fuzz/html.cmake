zn_fuzz_target(html zn_Data)
