# Builds each layering probe and passes only if every one failed for want of
# its forbidden header (GCC: "x.h: No such file or directory", clang:
# "'x.h' file not found"). A probe that builds, or fails for another reason,
# fails the check.
# Usage: cmake -DBUILD_DIR=dir -DPROBES=target:header,... -P buildprobes.cmake
string(REPLACE "," ";" _probes "${PROBES}")
set(_failures 0)
foreach(_probe IN LISTS _probes)
    string(REPLACE ":" ";" _parts "${_probe}")
    list(GET _parts 0 _target)
    list(GET _parts 1 _header)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${_target}
                    RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
    string(REPLACE "." "\\." _pattern "${_header}")
    string(REGEX MATCH "[^\n]*(${_pattern}: No such file or directory|'${_pattern}' file not found)[^\n]*"
           _refusal "${_output}")
    if(_result EQUAL 0)
        message("FAIL ${_target}: built, so ${_header} was within reach")
        math(EXPR _failures "${_failures} + 1")
    elseif(NOT _refusal)
        message("FAIL ${_target}: failed, but not for want of ${_header}:\n${_output}")
        math(EXPR _failures "${_failures} + 1")
    else()
        message("refused ${_target}: ${_refusal}")
    endif()
endforeach()
if(_failures)
    message(FATAL_ERROR "${_failures} layering probe(s) did not fail as they must")
endif()
