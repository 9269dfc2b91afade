# The fuzz targets and what each needs. Shared by the libFuzzer build
# (fuzz/CMakeLists.txt) and the corpus replay tests (fuzz/replay_tests.cmake).
# A target whose product code has not landed yet is left out.
set(QV_FUZZ_TARGETS decoders profile db2_lines)
if(EXISTS ${PROJECT_SOURCE_DIR}/convert/to_csv.cpp)
  list(APPEND QV_FUZZ_TARGETS to_csv)
endif()
set(QV_FUZZ_DEFINITIONS)
file(STRINGS ${PROJECT_SOURCE_DIR}/app/batch_run.h QV_ENTRY_NAME_DECL REGEX "ConversionEntryName")
if(QV_ENTRY_NAME_DECL)
  list(APPEND QV_FUZZ_DEFINITIONS QV_HAVE_CONVERSION_ENTRY_NAME=1)
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/app/batch_run.h)
