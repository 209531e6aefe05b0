zn_fuzz_target(bplist zn_platform)
