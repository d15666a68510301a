# Compiles SOURCE with each compiler of COMPILERS (separated by "|") in C++17
# and C++20, every warning an error; the header's folder is INCLUDE, the
# objects are written next to OUTPUT. A compiler that is not installed is
# reported as skipped once the others have passed.
cmake_minimum_required(VERSION 3.16)
string(REPLACE "|" ";" compilers "${COMPILERS}")
set(flags -Wall -Wextra -Werror -pedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast -O2)
set(missing "")
set(failed FALSE)
foreach(compiler IN LISTS compilers)
  if(NOT compiler OR compiler MATCHES "NOTFOUND$")
    list(APPEND missing "${compiler}")
    continue()
  endif()
  get_filename_component(name "${compiler}" NAME)
  foreach(standard c++17 c++20)
    execute_process(
      COMMAND "${compiler}" -std=${standard} ${flags} -I${INCLUDE} -c "${SOURCE}" -o "${OUTPUT}-${name}-${standard}.o"
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(result EQUAL 0)
      message(STATUS "${name} -std=${standard}: compiles without a warning")
    else()
      message("${name} -std=${standard} failed:\n${output}")
      set(failed TRUE)
    endif()
  endforeach()
endforeach()
if(failed)
  message(FATAL_ERROR "<vasq.hpp> does not compile cleanly")
endif()
if(missing)
  message("SKIPPED: a compiler is not installed (${missing}); scripts/install-deps.sh installs g++ and clang")
endif()
