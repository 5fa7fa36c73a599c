# Checks the built Module.dll as a host's loader sees it: a PE32 i386 image
# that exports getModuleProperties as ordinal 1 and makeModule as ordinal 2
# by their plain names, and imports nothing but system DLLs.
#   cmake -DOBJDUMP=... -DDLL=... -P CheckModuleDll.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot read ${DLL}")
endif()

foreach(expected "file format pei-i386" "Magic[ \t]+010b[ \t]+\\(PE32\\)" "Ordinal Base[ \t]+1\n"
        "\\[   0\\] getModuleProperties\n" "\\[   1\\] makeModule\n"
        "Export Address Table[ \t]+00000002")
    if(NOT dump MATCHES "${expected}")
        message(FATAL_ERROR "${DLL}: expected to find '${expected}' in its headers")
    endif()
endforeach()

set(system_dlls KERNEL32.dll msvcrt.dll USER32.dll ADVAPI32.dll ntdll.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" name "${import}")
    if(NOT name IN_LIST system_dlls)
        message(FATAL_ERROR "${DLL} imports ${name}, which is not a system DLL")
    endif()
    message(STATUS "imports ${name}")
endforeach()
