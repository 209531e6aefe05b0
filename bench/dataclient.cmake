# The data client's listings and lookups through its read queue, next to
# raw SQLite reading the same whole-tree rows.
zn_benchmark(DataClient zn_Data)
