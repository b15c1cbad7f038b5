# The entries of the fuzz targets, shared by the libFuzzer targets
# (fuzz/CMakeLists.txt) and the regression test (tests/tst_fuzzregressions).
set(KITE_FUZZ_ENTRY_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/fuzzentries.h
    ${CMAKE_CURRENT_LIST_DIR}/fuzzentries.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fuzzsupport.h
    ${CMAKE_CURRENT_LIST_DIR}/fuzzmessage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fuzzfiles.cpp
)
