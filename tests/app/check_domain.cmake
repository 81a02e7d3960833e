# No address of the maker is spelled out in the Setup program's sources: each is built from the
# product's maker_domain (the page's own copy is checked against it when the page is built).
# cmake -DPRODUCT=<product.h> -DSOURCES=<folder> -P check_domain.cmake
file(STRINGS "${PRODUCT}" product_lines REGEX "maker_domain = \"")
string(REGEX MATCH "maker_domain = \"([^\"]*)\"" _ "${product_lines}")
set(domain "${CMAKE_MATCH_1}")
if(domain STREQUAL "")
  message(FATAL_ERROR "No maker domain in ${PRODUCT}")
endif()
file(GLOB sources "${SOURCES}/*.cpp" "${SOURCES}/*.h")
foreach(source ${sources})
  file(READ "${source}" text)
  string(FIND "${text}" "${domain}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${source} spells out the maker domain '${domain}'")
  endif()
endforeach()
