# AddressSanitizer and UndefinedBehaviorSanitizer over everything built (the
# asan preset). Any finding stops the program: nothing is reported and carried on.
option(VELMORA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VELMORA_FUZZ "Build the libFuzzer target (clang, with VELMORA_SANITIZE)" OFF)

if(VELMORA_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
endif()
