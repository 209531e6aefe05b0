# The start-up sweep of the writers' stale temporaries over a 10,000-note
# data root, next to plain system calls reading the same folders.
zn_benchmark(StaleSweep zn_Data)
