# Host-side build (clang, for cross-checks against libwim, sanitizers and fuzzing) of the
# portable parts. Its tests join this suite through an included CTest file.
include(ExternalProject)
set(VANTREL_NATIVE_BINARY ${CMAKE_BINARY_DIR}/native)
ExternalProject_Add(native
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/native
  BINARY_DIR ${VANTREL_NATIVE_BINARY}
  CMAKE_ARGS -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
             -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SOURCE_DIR=${CMAKE_SOURCE_DIR}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  TEST_COMMAND ""
  USES_TERMINAL_BUILD ON)
set(native_tests ${CMAKE_BINARY_DIR}/native-tests.cmake)
file(WRITE ${native_tests}
  "if(EXISTS \"${VANTREL_NATIVE_BINARY}/CTestTestfile.cmake\")\n"
  "  include(\"${VANTREL_NATIVE_BINARY}/CTestTestfile.cmake\")\n"
  "endif()\n")
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${native_tests})
