# Writes the resource script of a resource library from its text file of
# string resources, for the Windows resource compiler:
#   cmake -DINPUT=strings.txt -DOUTPUT=strings.rc -P zvt_rc.cmake
# Each line of the text file is a resource number, blanks and the text (UTF-8,
# with \n, \t and \\ escapes, which the resource compiler reads the same way);
# blank lines and lines starting with # are skipped.
file(READ ${INPUT} content)
# Characters that are special to CMake lists or to resource strings are
# written as octal escapes or doubled before the text is split into lines;
# backslashes stand aside as a control character until then, so that one at
# the end of a line does not escape the list separator.
string(ASCII 1 backslash)
string(REPLACE "\r" "" content "${content}")
string(REPLACE "\\" "${backslash}" content "${content}")
string(REPLACE ";" "\\073" content "${content}")
string(REPLACE "[" "\\133" content "${content}")
string(REPLACE "]" "\\135" content "${content}")
string(REPLACE "\"" "\"\"" content "${content}")
string(REPLACE "\n" ";" lines "${content}")
set(script "// Generated from ${INPUT}.\n#pragma code_page(65001)\nSTRINGTABLE\nBEGIN\n")
set(number 0)
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  if(line MATCHES "^[ \t]*(#.*)?$")
    continue()
  endif()
  if(NOT line MATCHES "^[ \t]*([0-9]+)[ \t]+(.*)$")
    message(FATAL_ERROR "${INPUT}:${number}: expected a resource number, blanks and a text")
  endif()
  string(REPLACE "${backslash}" "\\" text "${CMAKE_MATCH_2}")
  string(APPEND script "  ${CMAKE_MATCH_1} \"${text}\"\n")
endforeach()
string(APPEND script "END\n")
file(WRITE ${OUTPUT} "${script}")
