# The fuzz targets. Shared by the libFuzzer build (fuzz/CMakeLists.txt) and
# the corpus replay tests (fuzz/replay_tests.cmake).
set(QV_FUZZ_TARGETS to_csv decoders profile db2_lines host_layout)
