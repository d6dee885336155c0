# Instrumented builds. QB_SANITIZE instruments the whole tree (the libraries, the tests and the app the
# end-to-end test starts); QB_FUZZ adds libFuzzer's coverage to every library so the fuzz targets in
# tests/fuzz can steer by it. Either one belongs in a build folder of its own.

set(QB_SANITIZER_SUPPRESSIONS ${PROJECT_SOURCE_DIR}/tests/sanitizers)

if(QB_SANITIZE AND QB_FUZZ)
    message(FATAL_ERROR "QB_SANITIZE and QB_FUZZ are separate builds")
endif()

if(QB_SANITIZE)
    # A finding ends the program, so a test that trips one fails instead of printing and passing.
    add_compile_options(-fsanitize=${QB_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${QB_SANITIZE})
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # The instrumentation defeats g++'s flow analysis: it warns about libstdc++'s own <regex> and
        # std::function members being used uninitialised, which the uninstrumented build does not.
        # Likewise -Warray-bounds: it reports reads of one constant table against the bounds of another, and
        # qendian's byte reads past a one-byte array.
        add_compile_options(-Wno-maybe-uninitialized -Wno-array-bounds)
    endif()
    if(QB_SANITIZE MATCHES "thread")
        # die_after_fork=0: the tests start helper programs through QProcess, whose child only execs.
        set(QB_SANITIZER_ENV
            "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=${QB_SANITIZER_SUPPRESSIONS}/tsan.supp")
    else()
        set(QB_SANITIZER_ENV
            "ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1"
            "LSAN_OPTIONS=suppressions=${QB_SANITIZER_SUPPRESSIONS}/lsan.supp:print_suppressions=0"
            "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=${QB_SANITIZER_SUPPRESSIONS}/ubsan.supp")
    endif()
endif()

if(QB_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "QB_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++)")
    endif()
    # clang 14 cannot emit the function-type check's prologue in split coroutine bodies once coverage is on
    # ("Cannot represent a difference across sections"); that one check is left out.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function
        -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
