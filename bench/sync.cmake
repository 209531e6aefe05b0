# Sync engine: the tree order against a sort by depth.
zn_benchmark(Sync zn_sync)
