# Turns policy/default.json into a C++ source holding its bytes.
file(READ ${INPUT} content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
file(WRITE ${OUTPUT}.tmp
  "// Generated from policy/default.json at build time.\n#include <string>\nnamespace zem_host {\n"
  "const std::string& embedded_default_policy() {\n"
  "    static const unsigned char k_bytes[] = {${bytes} 0x00};\n"
  "    static const std::string text(reinterpret_cast<const char*>(k_bytes), sizeof k_bytes - 1);\n"
  "    return text;\n}\n}  // namespace zem_host\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
