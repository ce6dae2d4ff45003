# CMake generated Testfile for 
# Source directory: /work/main
# Build directory: /work/main/build/debug
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[fuzz_corpus_replay]=] "/work/main/build/debug/fuzz_corpus_runner" "/work/main/fuzz/corpus")
set_tests_properties([=[fuzz_corpus_replay]=] PROPERTIES  _BACKTRACE_TRIPLES "/work/main/CMakeLists.txt;63;add_test;/work/main/CMakeLists.txt;0;")
