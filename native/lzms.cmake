# LZMS codec of the cabinet.dll stand-in, built for the host: cross-checks against libwim,
# sanitizer and fuzz runs, and the benchmark.
set(lzms_dir ${VANTREL_SOURCE_DIR}/standins/cabinet/lzms)
set(lzms_tests ${VANTREL_SOURCE_DIR}/tests/standins/cabinet/native)
set(lzms_sources ${lzms_dir}/lzms_common.cpp ${lzms_dir}/lzms_decoder.cpp
                 ${lzms_dir}/lzms_encoder.cpp ${lzms_dir}/buffer_mode.cpp)

# The cross build's output folder, scanned at test time for the programs this project
# builds (they join the executable corpus).
get_filename_component(lzms_cross_guess ${CMAKE_BINARY_DIR}/.. ABSOLUTE)
set(VANTREL_CROSS_BINARY_DIR ${lzms_cross_guess} CACHE PATH "Cross build folder holding our .exe/.dll files")
set(VANTREL_WINE_PE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Wine's own PE DLLs")

find_package(GTest REQUIRED)
find_library(LIBWIM_LIBRARY wim REQUIRED)
find_path(LIBWIM_INCLUDE wimlib.h REQUIRED)

add_library(lzms_host STATIC ${lzms_sources})
target_include_directories(lzms_host PUBLIC ${lzms_dir})
target_compile_options(lzms_host PRIVATE -Wall -Wextra)

add_library(lzms_host_san STATIC ${lzms_sources})
target_include_directories(lzms_host_san PUBLIC ${lzms_dir})
target_compile_options(lzms_host_san PUBLIC ${VANTREL_SANITIZE})
target_link_options(lzms_host_san PUBLIC ${VANTREL_SANITIZE})

# Both directions against libwim, the Microsoft samples, the framing.
add_executable(lzms_libwim_test ${lzms_tests}/libwim_crosscheck_test.cpp ${lzms_tests}/samples_test.cpp
                                ${lzms_tests}/buffer_mode_test.cpp ${lzms_tests}/corpus.cpp)
target_include_directories(lzms_libwim_test PRIVATE ${LIBWIM_INCLUDE} ${lzms_tests})
target_link_libraries(lzms_libwim_test PRIVATE lzms_host GTest::gtest GTest::gtest_main ${LIBWIM_LIBRARY})
add_test(NAME lzms_libwim_test COMMAND lzms_libwim_test)
set_tests_properties(lzms_libwim_test PROPERTIES TIMEOUT 900
  ENVIRONMENT "VANTREL_CROSS_BINARY_DIR=${VANTREL_CROSS_BINARY_DIR};VANTREL_WINE_PE_DIR=${VANTREL_WINE_PE_DIR}")

# Damaged and random streams under AddressSanitizer and UndefinedBehaviorSanitizer.
add_executable(lzms_robust_test ${lzms_tests}/robustness_test.cpp ${lzms_tests}/corpus.cpp)
target_include_directories(lzms_robust_test PRIVATE ${lzms_tests})
target_link_libraries(lzms_robust_test PRIVATE lzms_host_san GTest::gtest GTest::gtest_main)
add_test(NAME lzms_robust_test COMMAND lzms_robust_test)
set_tests_properties(lzms_robust_test PROPERTIES TIMEOUT 900
  ENVIRONMENT "VANTREL_WINE_PE_DIR=${VANTREL_WINE_PE_DIR}")

# libFuzzer over the block decoder and the framing, bounded in time.
add_executable(lzms_fuzz ${lzms_tests}/lzms_fuzz.cpp ${lzms_sources})
target_include_directories(lzms_fuzz PRIVATE ${lzms_dir})
target_compile_options(lzms_fuzz PRIVATE ${VANTREL_FUZZ})
target_link_options(lzms_fuzz PRIVATE ${VANTREL_FUZZ})
vantrel_fuzz_test(lzms_fuzz SECONDS 60)

# Sizes and speeds against libwim; prints a table, asserts nothing.
add_executable(lzms_bench ${VANTREL_SOURCE_DIR}/benchmarks/lzms_bench.cpp ${lzms_tests}/corpus.cpp)
target_include_directories(lzms_bench PRIVATE ${LIBWIM_INCLUDE} ${lzms_tests})
target_link_libraries(lzms_bench PRIVATE lzms_host ${LIBWIM_LIBRARY})
target_compile_options(lzms_bench PRIVATE -O2)
