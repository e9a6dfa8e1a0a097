# bv_module(NAME SOURCES a.cpp b.cpp ... DEPS lib ...): one static library per
# module folder, named bv_NAME, with the project root as include root.
function(bv_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS" ${ARGN})
  add_library(bv_${name} STATIC ${M_SOURCES})
  target_include_directories(bv_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  # DEPS name only folders below this one (scripts/include-circles checks the
  # include lines), so the static libraries link in one pass.
  target_link_libraries(bv_${name} PUBLIC ${M_DEPS})
endfunction()
