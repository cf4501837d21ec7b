# Turns a file of the source tree into a C++ source holding its bytes,
# returned by zem_host::NAME().
file(READ ${INPUT} content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
get_filename_component(input_name ${INPUT} NAME)
file(WRITE ${OUTPUT}.tmp
  "// Generated from ${input_name} at build time.\n#include <string>\nnamespace zem_host {\n"
  "const std::string& ${NAME}() {\n"
  "    static const unsigned char k_bytes[] = {${bytes} 0x00};\n"
  "    static const std::string text(reinterpret_cast<const char*>(k_bytes), sizeof k_bytes - 1);\n"
  "    return text;\n}\n}  // namespace zem_host\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
