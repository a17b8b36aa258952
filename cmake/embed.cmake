# Writes a C++ source that holds the given files as byte arrays.
# Usage: cmake -DOUTPUT=file.cpp -DHEADER=file.h -DINPUTS="a|b" -DPREFIX=kx_resource_ -P embed.cmake
# Each input becomes "<PREFIX><file name with . and - as _>" plus "<...>_size".
string(REPLACE "|" ";" INPUTS "${INPUTS}")
set(declarations "")
set(definitions "")
set(entries "")
foreach(input IN LISTS INPUTS)
    get_filename_component(fileName "${input}" NAME)
    string(MAKE_C_IDENTIFIER "${PREFIX}${fileName}" symbol)
    file(READ "${input}" hex HEX)
    string(LENGTH "${hex}" hexLength)
    math(EXPR byteCount "${hexLength} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n    " bytes "${bytes}")
    string(APPEND declarations "extern const unsigned char ${symbol}[];\nextern const size_t ${symbol}_size;\n")
    # One extra zero byte so text resources can be used as C strings.
    string(APPEND definitions "extern const unsigned char ${symbol}[] = {\n    ${bytes}0x00};\nextern const size_t ${symbol}_size = ${byteCount};\n\n")
    string(APPEND entries "    {\"${fileName}\", ${symbol}, ${byteCount}},\n")
endforeach()
# A lookup by file name, for code that uses a resource only when it exists.
string(APPEND declarations "\n// The resource of that file name (its size in size when not null), or null.\nconst unsigned char* ${PREFIX}find(const char* name, size_t* size = nullptr);\n")
string(APPEND definitions "namespace\n{\nstruct ResourceEntry\n{\n    const char* name;\n    const unsigned char* data;\n    size_t size;\n};\nconst ResourceEntry entries[] = {\n${entries}};\n}\n\nconst unsigned char* ${PREFIX}find(const char* name, size_t* size)\n{\n    for (const ResourceEntry& entry : entries)\n    {\n        if (std::strcmp(entry.name, name) == 0)\n        {\n            if (size)\n                *size = entry.size;\n            return entry.data;\n        }\n    }\n    return nullptr;\n}\n")
file(WRITE "${HEADER}.tmp" "// Generated at build time: embedded resource files.\n#pragma once\n#include <cstddef>\n\n${declarations}")
file(WRITE "${OUTPUT}.tmp" "// Generated at build time: embedded resource files.\n#include \"${HEADER}\"\n\n#include <cstring>\n\n${definitions}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${HEADER}.tmp" "${HEADER}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.tmp" "${OUTPUT}")
