# Every fuzz target replays its committed seed corpus (fuzz/corpus/<target>/):
# with libFuzzer (-runs=0 runs the corpus and stops), otherwise with the replay
# driver. A crash or a failed check of the target fails the test.
foreach(_target requestparser sectionreader)
    if(NOT TARGET fuzz_${_target})
        continue()
    endif()
    set(_corpus ${CMAKE_SOURCE_DIR}/fuzz/corpus/${_target})
    if(TELVANE_LIBFUZZER)
        add_test(NAME fuzz_${_target}_corpus COMMAND fuzz_${_target} -runs=0 ${_corpus})
    else()
        add_test(NAME fuzz_${_target}_corpus COMMAND fuzz_${_target} ${_corpus})
    endif()
    set_tests_properties(fuzz_${_target}_corpus PROPERTIES TIMEOUT 300 LABELS fuzz)
endforeach()
