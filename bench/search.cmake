# Full-text search: indexing 20,000 generated notes of mixed Chinese and
# English, then single-word, Chinese-phrase and wildcard searches.
zn_benchmark(Search zn_search)
target_compile_definitions(bench_Search PRIVATE ZN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
# The FTS5 trigram baseline runs on Debian's SQLite.
target_link_libraries(bench_Search PRIVATE PkgConfig::SQLITE3)
