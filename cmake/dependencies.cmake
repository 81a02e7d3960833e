# Header-only nlohmann/json from the host's package, exposed through a folder that holds
# only that library: the host's /usr/include must never reach the cross build.
set(VANTREL_JSON_HEADERS /usr/include/nlohmann)
if(NOT EXISTS ${VANTREL_JSON_HEADERS}/json.hpp)
  message(FATAL_ERROR "nlohmann/json not found in ${VANTREL_JSON_HEADERS} (package nlohmann-json3-dev)")
endif()
set(json_root ${CMAKE_BINARY_DIR}/deps/json/include)
file(MAKE_DIRECTORY ${json_root})
file(CREATE_LINK ${VANTREL_JSON_HEADERS} ${json_root}/nlohmann SYMBOLIC)
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${json_root})

# GoogleTest from Debian's sources, built with the cross compiler.
set(VANTREL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${VANTREL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/deps/googletest EXCLUDE_FROM_ALL SYSTEM)
