# The desktop's start-up: the program started on the display (Xvfb) with an
# empty store and with a 10,000-note store, to its main window's first load.
zn_benchmark(Startup zn_shell)
add_dependencies(bench_Startup zarvelnote)
