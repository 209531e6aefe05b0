# The index rebuild of a store of generated Markdown files, next to indexing
# the same documents in one indexer batch.
zn_benchmark(RecreateIndex zn_Data)
