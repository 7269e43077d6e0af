# Compiles files into the binary. qit_add_resources(<target> NAME file NAME file ...)
# makes a static library <target> whose function qit::FindResource("NAME") returns the
# bytes of the file as a std::string_view (empty view when the name is unknown).
function(qit_add_resources target)
  set(args ${ARGN})
  set(sources "")
  set(entries "")
  set(index 0)
  list(LENGTH args count)
  while(index LESS count)
    list(GET args ${index} name)
    math(EXPR next "${index} + 1")
    list(GET args ${next} file)
    get_filename_component(file "${file}" ABSOLUTE)
    string(MAKE_C_IDENTIFIER "${name}" ident)
    set(out "${CMAKE_CURRENT_BINARY_DIR}/res_${ident}.cpp")
    add_custom_command(
      OUTPUT "${out}"
      COMMAND ${CMAKE_COMMAND} -DINPUT=${file} -DOUTPUT=${out} -DIDENT=${ident}
              -P "${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake"
      DEPENDS "${file}" "${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake"
      VERBATIM)
    list(APPEND sources "${out}")
    string(APPEND entries "  extern const std::string_view res_${ident};\n")
    string(APPEND table "  if (name == \"${name}\") return res_${ident};\n")
    math(EXPR index "${index} + 2")
  endwhile()
  set(registry "${CMAKE_CURRENT_BINARY_DIR}/${target}_registry.cpp")
  file(WRITE "${registry}.in"
"#include <string_view>\n#include <utility>\n#include \"common/Resources.h\"\nnamespace qit {\n${entries}\nstd::string_view FindResource(std::string_view name) {\n")
  file(APPEND "${registry}.in" "${table}  return {};\n}\n}  // namespace qit\n")
  configure_file("${registry}.in" "${registry}" COPYONLY)
  add_library(${target} STATIC ${sources} "${registry}")
  target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}/src")
endfunction()
