# Shared target conventions: every library and test gets the same warnings and include root.

set(QB_WARNINGS -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual
    -Wimplicit-fallthrough)
# clang (the fuzz build) spells g++'s local-shadowing warning differently.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    list(APPEND QB_WARNINGS -Wshadow-uncaptured-local)
else()
    list(APPEND QB_WARNINGS -Wshadow=local)
endif()

function(qb_configure_target target)
    target_compile_options(${target} PRIVATE ${QB_WARNINGS})
    if(QB_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    target_compile_definitions(${target} PRIVATE QT_NO_CAST_FROM_ASCII QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
        QT_NO_KEYWORDS)
endfunction()

# qb_add_library(name SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
function(qb_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    qb_configure_target(${name})
endfunction()

# A test's time limit only ends a hang: it sits far above the program's time on a busy machine, sanitizer builds
# included. Limits are written for the plain build; a sanitizer build, several times slower, scales them.
set(QB_TEST_TIMEOUT 240)
if(QB_SANITIZE MATCHES "thread")
    set(QB_TEST_TIMEOUT_SCALE 4)
elseif(QB_SANITIZE)
    set(QB_TEST_TIMEOUT_SCALE 3)
else()
    set(QB_TEST_TIMEOUT_SCALE 1)
endif()

# qb_add_test(name SOURCES ... LIBS ... [LABELS ...] [FIXTURES ...] [ENVIRONMENT ...] [TIMEOUT seconds])
# One GoogleTest program per area, registered with ctest under its name.
function(qb_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;FIXTURES;ENVIRONMENT" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock qb_test_main)
    target_compile_definitions(${name} PRIVATE QB_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures")
    qb_configure_target(${name})
    if("xvfb" IN_LIST ARG_FIXTURES)
        # The private X server picks its own display; the wrapper hands it to the test.
        add_test(NAME ${name} COMMAND sh ${PROJECT_SOURCE_DIR}/tests/integration/services/with-xvfb.sh
            ${PROJECT_BINARY_DIR}/tests/integration/services/xvfb $<TARGET_FILE:${name}>)
    else()
        add_test(NAME ${name} COMMAND ${name})
    endif()
    set(env QT_QPA_PLATFORM=offscreen ${ARG_ENVIRONMENT} ${QB_SANITIZER_ENV})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT ${QB_TEST_TIMEOUT})
    endif()
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * ${QB_TEST_TIMEOUT_SCALE}")
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    else()
        set_tests_properties(${name} PROPERTIES LABELS unit)
    endif()
    if(ARG_FIXTURES)
        # Tests of one service share its state (the display's keyboard, the default sink): one at a time.
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${ARG_FIXTURES}" RESOURCE_LOCK "${ARG_FIXTURES}")
    endif()
endfunction()

# qb_add_bench(name SOURCES ... LIBS ...)
# Each benchmark also runs once, briefly, under ctest (label bench) so CI notices when one breaks. Benchmarks of a
# fixed number of iterations run them all even then (a minute on a quiet machine), hence the longer limit.
function(qb_add_bench name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} qb_bench_main benchmark::benchmark)
    qb_configure_target(${name})
    if(QB_BUILD_TESTS)
        add_test(NAME ${name}_smoke COMMAND ${name} --benchmark_min_time=0.01)
        math(EXPR timeout "900 * ${QB_TEST_TIMEOUT_SCALE}")
        set_tests_properties(${name}_smoke PROPERTIES LABELS bench TIMEOUT ${timeout}
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${QB_SANITIZER_ENV}")
    endif()
endfunction()
