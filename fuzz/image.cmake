zn_fuzz_target(image zn_Data)
