# C++20 without extensions; position-independent code, for the module and the
# Python package are shared libraries; optimised unless asked otherwise.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE Release)
endif()

# Flags every target is built with. Filters must give the same bits on every
# build: no contraction into fused multiply-adds, no fast-math, and on 32-bit
# x86 the SSE2 unit rather than x87 (whose extended precision changes results).
add_compile_options(-Wall -Wextra -ffp-contract=off -fno-fast-math)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    # Hosts built with other compilers promise only 4-byte stack alignment.
    add_compile_options(-msse2 -mfpmath=sse -mstackrealign)
    # Everything from the toolchain is linked in, so the library and the
    # test programs need nothing but system DLLs.
    add_link_options(-static -static-libgcc -static-libstdc++)
endif()

set(CMAKE_CXX_FLAGS_RELEASE "-O2")
set(CMAKE_C_FLAGS_RELEASE "-O2")
