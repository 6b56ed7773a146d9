# Turns one file into a C++ header holding its bytes, so that the program
# serves it without reading anything at run time.
#   cmake -DINPUT=in -DOUTPUT=out.h -DNAME=kSymbol -P embed_file.cmake
# The header declares `inline constexpr std::string_view NAME` in namespace
# brivane::embedded. It is rewritten only when its text changes.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
get_filename_component(source "${INPUT}" NAME)
set(text "// Generated from ${source} at build time; edit that file, not this one.
#pragma once
#include <string_view>

namespace brivane::embedded {
inline constexpr char ${NAME}Bytes[] = {
    ${bytes}'\\0'};
inline constexpr std::string_view ${NAME}{${NAME}Bytes, ${size}};
}  // namespace brivane::embedded
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${text}")
