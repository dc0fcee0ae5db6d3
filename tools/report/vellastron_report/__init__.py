"""vellastron-report: reads the results files and console logs of
vellastron-memory and turns them into tables, JSON, CSV, slow-node lists,
run-to-run comparisons and charts."""
