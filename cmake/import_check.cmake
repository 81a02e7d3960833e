# One test over the import tables of every program this build makes, and one proving that
# the check rejects a program that imports a DLL of its own.
find_program(VANTREL_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
get_property(programs GLOBAL PROPERTY VANTREL_PROGRAMS)
set(files "")
foreach(p ${programs})
  list(APPEND files $<TARGET_FILE:${p}>)
endforeach()
add_test(NAME import_check COMMAND ${CMAKE_SOURCE_DIR}/tools/check-imports ${VANTREL_OBJDUMP} ${files})

add_library(import_probe SHARED ${CMAKE_SOURCE_DIR}/tests/import_check/import_probe.c)
add_executable(import_probe_user ${CMAKE_SOURCE_DIR}/tests/import_check/import_probe_user.c)
target_link_libraries(import_probe_user PRIVATE import_probe)
add_test(NAME import_check_rejects_own_dll
  COMMAND ${CMAKE_SOURCE_DIR}/tools/check-imports ${VANTREL_OBJDUMP} $<TARGET_FILE:import_probe_user>)
set_tests_properties(import_check_rejects_own_dll PROPERTIES
  PASS_REGULAR_EXPRESSION "imports libimport_probe.dll, which is not a KnownDLL")
