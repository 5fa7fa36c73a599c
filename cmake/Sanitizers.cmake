# The sanitizers' builds. Any finding stops the program: nothing is reported
# and carried on.
#   VELMORA_SANITIZE         AddressSanitizer and UndefinedBehaviorSanitizer
#                            over everything built (the asan preset)
#   VELMORA_THREAD_SANITIZE  ThreadSanitizer (the tsan preset)
option(VELMORA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VELMORA_THREAD_SANITIZE "Build with ThreadSanitizer" OFF)
option(VELMORA_FUZZ "Build the libFuzzer target (clang, with VELMORA_SANITIZE)" OFF)

if(VELMORA_SANITIZE AND VELMORA_THREAD_SANITIZE)
    message(FATAL_ERROR "AddressSanitizer and ThreadSanitizer cannot share a build")
endif()

if(VELMORA_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
endif()
if(VELMORA_THREAD_SANITIZE)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=thread)
endif()

# Whether a sanitizer's runtime is in the build: libraries then take it from
# the program that loads them, and nothing that loads them into a foreign
# program (Debian's Python) is built.
if(VELMORA_SANITIZE OR VELMORA_THREAD_SANITIZE)
    set(VELMORA_SANITIZED ON)
else()
    set(VELMORA_SANITIZED OFF)
endif()
