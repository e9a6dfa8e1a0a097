# bv_module(NAME SOURCES a.cpp b.cpp ... DEPS lib ...): one static library per
# module folder, named bv_NAME, with the project root as include root.
function(bv_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS" ${ARGN})
  add_library(bv_${name} STATIC ${M_SOURCES})
  target_include_directories(bv_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(bv_${name} PUBLIC ${M_DEPS})
  # The modules call each other (plans <-> engine <-> history): repeat the
  # static libraries on the link line until every reference is resolved.
  set_target_properties(bv_${name} PROPERTIES LINK_INTERFACE_MULTIPLICITY 4)
endfunction()
