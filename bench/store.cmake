# The note store (contexts over SQLite) against raw prepared SQLite
# statements doing the same work.
zn_benchmark(Store zn_Data)
