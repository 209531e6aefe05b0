zn_fuzz_target(plist zn_platform)
