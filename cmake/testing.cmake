# Test helpers. Every cross-built test program runs under Wine through tools/wine-run,
# one CTest entry per program so that Wine's start-up does not dominate the suite.
set(VANTREL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# Stand-in DLLs for platform libraries Wine lacks land here and are copied into the prefix.
set(VANTREL_STANDIN_DLLS ${CMAKE_BINARY_DIR}/standin-dlls)
file(MAKE_DIRECTORY ${VANTREL_STANDIN_DLLS})
set(VANTREL_WINE_RUN ${CMAKE_SOURCE_DIR}/tools/wine-run --prefix ${VANTREL_WINEPREFIX}
    --dlls ${VANTREL_STANDIN_DLLS})
set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTREL_WINE_RUN})

# vantrel_wine_test(<target> [TIMEOUT seconds] [DISPLAY] [PARALLEL] [ARGS ...])
# The Wine prefix, and so the user's registry hive and the sandbox key in it, is shared by
# all Windows tests: they run one at a time unless marked PARALLEL (touches neither).
# Time-outs are bounds only a hang reaches: a loaded machine runs a test several times slower.
function(vantrel_wine_test target)
  cmake_parse_arguments(arg "DISPLAY;PARALLEL" "TIMEOUT" "ARGS" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 1200)
  endif()
  if(arg_DISPLAY)
    add_test(NAME ${target} COMMAND ${VANTREL_WINE_RUN} --display $<TARGET_FILE:${target}> ${arg_ARGS})
    set_tests_properties(${target} PROPERTIES RESOURCE_LOCK x_display)
  else()
    add_test(NAME ${target} COMMAND ${target} ${arg_ARGS})
  endif()
  set_tests_properties(${target} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  if(NOT arg_PARALLEL)
    set_property(TEST ${target} APPEND PROPERTY RESOURCE_LOCK wine_user_state)
  endif()
  vantrel_program(${target})
endfunction()

# Every program we build goes through the import check: only DLLs that Windows always takes
# from System32 (KnownDLLs) may be imported statically.
function(vantrel_program target)
  set_property(GLOBAL APPEND PROPERTY VANTREL_PROGRAMS ${target})
endfunction()

# A GoogleTest program for the cross build.
function(vantrel_gtest target)
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE ${arg_LIBS} GTest::gtest GTest::gtest_main)
endfunction()

# vantrel_uses_webview2_standin(<target>): a test program that installs the stand-in WebView2
# runtime for itself (tests/webhost/standin_runtime.h): the headers, where either road's files
# are, and both built before it.
function(vantrel_uses_webview2_standin target)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/webhost ${CMAKE_SOURCE_DIR}/standins/webview2)
  target_compile_definitions(${target} PRIVATE
    VANTREL_STANDIN_RUNTIME=L"${VANTREL_WINDOWS_PATH_PREFIX}${VANTREL_WEBVIEW2_RUNTIME}"
    VANTREL_STANDIN_LOADER=L"${VANTREL_WINDOWS_PATH_PREFIX}${VANTREL_WEBVIEW2_LOADER_DIR}/WebView2Loader.dll")
  add_dependencies(${target} webview2_standin_client webview2_standin_loader)
endfunction()

# vantrel_run_windows_program(<out-var> <target>): the command that runs a built Windows
# program at build time: under Wine on a Linux host, directly on Windows. Paths handed to it
# get VANTREL_WINDOWS_PATH_PREFIX in front (Wine's drive for the host's root).
function(vantrel_run_windows_program out target)
  if(CMAKE_HOST_WIN32)
    set(${out} $<TARGET_FILE:${target}> PARENT_SCOPE)
  else()
    set(${out} ${VANTREL_WINE_RUN} $<TARGET_FILE:${target}> PARENT_SCOPE)
  endif()
endfunction()
if(CMAKE_HOST_WIN32)
  set(VANTREL_WINDOWS_PATH_PREFIX "")
else()
  set(VANTREL_WINDOWS_PATH_PREFIX "Z:")
endif()
