# Coverage-guided fuzzing builds, never part of a normal build: the libFuzzer harnesses of
# fuzz/ and an extension module instrumented for the Python fuzzing engine. Everything is
# compiled with AddressSanitizer, UndefinedBehaviorSanitizer and the fuzzer's coverage
# counters; only the harnesses link libFuzzer itself (the module gets it, and the sanitizer
# runtime, from the runtime preloaded into the interpreter).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "KESTRELITE_FUZZ needs clang with libFuzzer "
                      "(-DCMAKE_CXX_COMPILER=clang++-16), not ${CMAKE_CXX_COMPILER_ID}")
endif()

# The vptr and function checks need handlers that the runtime preloaded for the Python engine
# lacks (its C++ part); the code has no dynamic types and calls nothing through casted
# function pointers of its own.
set(KESTRELITE_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize=vptr,function
    -fno-sanitize-recover=undefined)
set(KESTRELITE_FUZZ_FLAGS -g -O1 -fno-omit-frame-pointer ${KESTRELITE_FUZZ_SANITIZERS})

target_compile_options(kestrelite_core PRIVATE ${KESTRELITE_FUZZ_FLAGS} -fsanitize=fuzzer-no-link)
target_compile_options(_kestrelite_rs PRIVATE ${KESTRELITE_FUZZ_FLAGS} -fsanitize=fuzzer-no-link)

set(KESTRELITE_FUZZERS core_text_fuzzer statement_fuzzer ordered_table_fuzzer)
foreach(fuzzer IN LISTS KESTRELITE_FUZZERS)
  add_executable(${fuzzer} fuzz/${fuzzer}.cpp)
  target_compile_options(${fuzzer} PRIVATE ${KESTRELITE_FUZZ_FLAGS} -fsanitize=fuzzer)
  target_link_options(${fuzzer} PRIVATE ${KESTRELITE_FUZZ_SANITIZERS} -fsanitize=fuzzer)
  target_link_libraries(${fuzzer} PRIVATE kestrelite_core)
endforeach()
add_custom_target(fuzzers DEPENDS ${KESTRELITE_FUZZERS} _kestrelite_rs)
