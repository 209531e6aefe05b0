# Inserting notes through the data client (its stored-id and title checks,
# then the save), next to raw SQLite doing the same work.
zn_benchmark(DataClientInsert zn_Data)
