# Reads a public header and writes a C header that lists what it declares:
#   OUTPUT_DIR/NAME_declarations.h, included before layouts.h:
#     VASQ_<NAME>_FUNCTIONS(X)  X(function) for each function marked VASQ_API
#     VASQ_HEADER_HAS_<type>    defined for each type name the header typedefs
#   OUTPUT_DIR/NAME_unchecked.h, included after layouts.h:
#     VASQ_<NAME>_UNCHECKED_TYPES(report)  calls report("type") for each of
#                               those types that layouts.h has no checks for
#                               (VASQ_LAYOUT_CHECKS_<type> undefined), and
#                               counts them
# so the checks grow with the header instead of being kept in step by hand.
# Usage: cmake -DHEADER=... -DOUTPUT_DIR=... -DNAME=... -P list_declarations.cmake
cmake_minimum_required(VERSION 3.16)
file(READ "${HEADER}" text)
# A semicolon separates CMake list items: stand a character C does not use in for it.
string(REPLACE ";" "`" text "${text}")
# Comments and preprocessor lines may mention names that are not declared.
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" " " text "${text}")
string(REGEX REPLACE "//[^\n]*" " " text "${text}")
string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\n" text "${text}")

# Appends to `out` each name that stands between the two patterns in the text.
function(collect_names out before after)
  set(names ${${out}})
  set(name "[A-Za-z_][A-Za-z0-9_]*")
  string(REGEX MATCHALL "${before}${name}${after}" found "${text}")
  foreach(match IN LISTS found)
    string(REGEX REPLACE "^${before}(${name})${after}$" "\\1" match "${match}")
    list(APPEND names "${match}")
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

set(functions "")
collect_names(functions "VASQ_API[^`(]*[^A-Za-z0-9_(]" "[ \t\n]*\\(")
if(NOT functions)
  message(FATAL_ERROR "no VASQ_API function found in ${HEADER}")
endif()

# typedef struct/enum ... } Name;   typedef void (*Name)(...);   typedef T Name;
set(types "")
collect_names(types "}[ \t\n]*" "[ \t\n]*`")
collect_names(types "typedef[^`{(]*\\([ \t]*\\*[ \t]*" "[ \t]*\\)")
collect_names(types "typedef[^`{()]*[^A-Za-z0-9_]" "[ \t\n]*`")
list(REMOVE_DUPLICATES types)

string(TOUPPER "${NAME}" upper)
set(banner "/* Generated from ${HEADER}; do not edit. */\n")
set(declarations "${banner}#define VASQ_${upper}_FUNCTIONS(X)")
foreach(fn IN LISTS functions)
  string(APPEND declarations " \\\n    X(${fn})")
endforeach()
string(APPEND declarations "\n\n")
foreach(t IN LISTS types)
  string(APPEND declarations "#define VASQ_HEADER_HAS_${t} 1\n")
endforeach()

set(unchecked "${banner}")
foreach(t IN LISTS types)
  string(APPEND unchecked "#ifdef VASQ_LAYOUT_CHECKS_${t}\n#define VASQ_UNCHECKED_${t}(report) ((void)(report), 0)\n#else\n")
  string(APPEND unchecked "#define VASQ_UNCHECKED_${t}(report) (report(\"${t}\"), 1)\n#endif\n")
endforeach()
string(APPEND unchecked "#define VASQ_${upper}_UNCHECKED_TYPES(report) (0")
foreach(t IN LISTS types)
  string(APPEND unchecked " \\\n    + VASQ_UNCHECKED_${t}(report)")
endforeach()
string(APPEND unchecked ")\n")

# Rewrite only on change, so an unrelated edit of the header rebuilds nothing.
function(write_if_changed path content)
  set(previous "")
  if(EXISTS "${path}")
    file(READ "${path}" previous)
  endif()
  if(NOT previous STREQUAL content)
    file(WRITE "${path}" "${content}")
  endif()
endfunction()
write_if_changed("${OUTPUT_DIR}/${NAME}_declarations.h" "${declarations}")
write_if_changed("${OUTPUT_DIR}/${NAME}_unchecked.h" "${unchecked}")
