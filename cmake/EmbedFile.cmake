# cmake -DINPUT=file -DOUTPUT=file.cpp -P EmbedFile.cmake: writes a C++ source whose
# velto::server::controller_page() returns the bytes of INPUT.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} at build time; do not edit.\n"
  "#include \"server/web_page.h\"\n\n"
  "namespace velto::server {\n\n"
  "namespace {\n"
  "const char kPage[${size} + 1] = {\n${bytes}'\\0'};\n"
  "}  // namespace\n\n"
  "std::string_view controller_page() { return {kPage, ${size}}; }\n\n"
  "}  // namespace velto::server\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
