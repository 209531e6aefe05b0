# Saving one note from the editor through the data client (title checks,
# resources, the search document, the caller's save), next to raw SQLite
# writing the same rows.
zn_benchmark(EditorSave zn_Data)
