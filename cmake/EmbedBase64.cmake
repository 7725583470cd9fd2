# Writes a C++ header holding a file's bytes as base64 text.
#   cmake -DINPUT=<file> -DOUTPUT=<header> -DNAME=<constant> -DBASE64=<tool> -P EmbedBase64.cmake
execute_process(
    COMMAND ${BASE64} -w 0 ${INPUT}
    OUTPUT_VARIABLE encoded
    RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR encoded STREQUAL "")
    message(FATAL_ERROR "base64 of ${INPUT} failed (${status})")
endif()
string(STRIP "${encoded}" encoded)
file(WRITE ${OUTPUT}.tmp
    "// Generated at build time from ${INPUT}; do not edit.\n"
    "#pragma once\n#include <string_view>\n"
    "inline constexpr std::string_view ${NAME} =\n    \"${encoded}\";\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
