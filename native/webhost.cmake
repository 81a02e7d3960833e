# Portable parts of the web UI host, built for the host: the reader, the bridge texts and the
# engine base under AddressSanitizer and UndefinedBehaviorSanitizer, and a bounded fuzz run
# of the reader.
set(webhost_dir ${VANTREL_SOURCE_DIR}/webhost)
set(webhost_tests ${VANTREL_SOURCE_DIR}/tests/webhost)
set(webhost_portable ${webhost_dir}/json.cpp ${webhost_dir}/bootstrap.cpp ${webhost_dir}/engine_base.cpp)

find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

add_executable(webhost_native_tests ${webhost_portable}
  ${webhost_tests}/json_test.cpp ${webhost_tests}/result_test.cpp ${webhost_tests}/engine_base_test.cpp)
target_include_directories(webhost_native_tests PRIVATE ${webhost_dir} ${webhost_tests})
target_compile_options(webhost_native_tests PRIVATE -Wall -Wextra ${VANTREL_SANITIZE})
target_link_options(webhost_native_tests PRIVATE ${VANTREL_SANITIZE})
target_link_libraries(webhost_native_tests PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
add_test(NAME webhost_native_tests COMMAND webhost_native_tests)
set_tests_properties(webhost_native_tests PROPERTIES TIMEOUT 120)

add_executable(webhost_json_fuzz ${webhost_tests}/json_fuzz.cpp ${webhost_dir}/json.cpp)
target_include_directories(webhost_json_fuzz PRIVATE ${webhost_dir})
target_compile_options(webhost_json_fuzz PRIVATE ${VANTREL_FUZZ})
target_link_options(webhost_json_fuzz PRIVATE ${VANTREL_FUZZ})
vantrel_fuzz_test(webhost_json_fuzz SECONDS 30)
