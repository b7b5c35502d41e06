# Line and branch coverage of src/ by the whole suite (tests/coverage), printed
# for the record; it fails only when the build or a test fails.
tests/coverage
