# Writes the unit template (IN) as a string of byte escapes into one C++ source
# (OUT), so setup carries the unit and needs no template at run time.
# Usage: cmake -DIN=<korvanet.service.in> -DOUT=<file.cpp> -P embed_unit.cmake
file(READ ${IN} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" bytes "${hex}")
# Lines of 16 bytes keep the generated file readable.
string(REPEAT "\\\\x.." 16 line_of_bytes)
string(REGEX REPLACE "(${line_of_bytes})" "\\1\"\n    \"" bytes "${bytes}")
set(text "// Generated from setup/korvanet.service.in at build time; do not edit.\n")
string(APPEND text "#include \"setup/install_texts.h\"\n\nnamespace kv::setup {\n\n")
string(APPEND text "const char kUnitTemplate[] =\n    \"${bytes}\";\n\n}  // namespace kv::setup\n")
if(EXISTS ${OUT})
    file(READ ${OUT} old)
    if(old STREQUAL text)
        return()
    endif()
endif()
file(WRITE ${OUT} "${text}")
