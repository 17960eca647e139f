# Writes a C++ file holding a binary file as a byte array with an accessor.
file(READ ${INPUT} HEX HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," BYTES ${HEX})
file(WRITE ${OUTPUT} "#include <string_view>\nnamespace shell {\nnamespace { const unsigned char kData[] = {${BYTES}}; }\nstd::string_view ${FUNCTION}() { return {reinterpret_cast<const char*>(kData), sizeof(kData)}; }\n}\n")
