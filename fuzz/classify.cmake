zn_fuzz_target(classify zn_WebUI)
