# The entire web file entries of a folder's 10,000 children, written as
# JSON, next to the listing alone.
zn_benchmark(WebEntries zn_Data)
