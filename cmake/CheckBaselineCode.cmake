# Checks that a built library runs on a processor with SSE2 alone: every
# function with an AVX or AVX-512 instruction (a VEX- or EVEX-encoded one, or
# one on the opmask registers) is one of the lane kernels compiled for that
# instruction set, which the library calls only where the processor has it.
# A function that opens by jumping over eight bytes (the undefined-behaviour
# sanitizer's check of the function's type) has data there, not code.
#   cmake -DOBJDUMP=... -DLIBRARY=... -P CheckBaselineCode.cmake
cmake_minimum_required(VERSION 3.25)
find_program(AWK NAMES awk mawk gawk REQUIRED)
execute_process(
    COMMAND ${OBJDUMP} -d --no-show-raw-insn -C ${LIBRARY}
    COMMAND ${AWK} "/^[0-9a-f]+ <.*>:$/ { name = $0; first = 1; over = \"\"; next }
                    first && /\\tjmp +[0-9a-f]+ <.*[+]0x8>$/ {
                        first = 0; over = $0; sub(/.*\\tjmp +/, \"\", over); sub(/ .*/, \"\", over)
                        next }
                    { first = 0; at = $1; sub(/:$/, \"\", at) }
                    over != \"\" && at != over { next }
                    { over = \"\" }
                    /\\t(v[a-z0-9]+|k[a-z]+[bwdq])[ \\t]/ { if (!seen[name]++) print name }"
    OUTPUT_VARIABLE functions RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot read ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" functions "${functions}")
list(LENGTH functions count)
set(lane_kernels 0)
foreach(function IN LISTS functions)
    if(function MATCHES "velmora::lanes::.*(Avx2|Avx512)")
        math(EXPR lane_kernels "${lane_kernels} + 1")
    else()
        message(FATAL_ERROR "${LIBRARY}: ${function} uses AVX outside the lane kernels")
    endif()
endforeach()
if(lane_kernels EQUAL 0)
    message(FATAL_ERROR "${LIBRARY}: no lane kernels found (was it stripped of its symbols?)")
endif()
message(STATUS "${lane_kernels} functions with AVX, all of them lane kernels")
