# The payload container's layout walk, fuzzed under AddressSanitizer and UBSan.
add_executable(payload_layout_fuzz
  ${VANTREL_SOURCE_DIR}/tests/engine/native/payload_layout_fuzz.cpp
  ${VANTREL_SOURCE_DIR}/engine/payload_layout.cpp)
target_include_directories(payload_layout_fuzz PRIVATE ${VANTREL_SOURCE_DIR}/engine)
target_compile_options(payload_layout_fuzz PRIVATE ${VANTREL_FUZZ} -g)
target_link_options(payload_layout_fuzz PRIVATE ${VANTREL_FUZZ})
vantrel_fuzz_test(payload_layout_fuzz SECONDS 20)
