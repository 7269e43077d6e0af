# Writes OUTPUT, a C++ file defining qit::res_IDENT as a view of the bytes of INPUT.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "#include <string_view>\nnamespace qit {\nstatic const char data_${IDENT}[] = {${bytes} 0};\nextern const std::string_view res_${IDENT};\nconst std::string_view res_${IDENT}(data_${IDENT}, ${size});\n}  // namespace qit\n")
