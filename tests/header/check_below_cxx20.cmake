# cmake -DCXX_COMPILER=.. -DINCLUDE_DIR=.. -DSOURCE=.. -P check_below_cxx20.cmake
# Compiling the C++ face as C++17 must fail with its own message, and that alone.
execute_process(COMMAND ${CXX_COMPILER} -x c++ -std=c++17 -I${INCLUDE_DIR} -fsyntax-only ${SOURCE}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(FIND "${output}" "error" first_error)
string(FIND "${output}" "vuvidur.hpp needs C++20" own)
if(result EQUAL 0 OR own EQUAL -1)
  message(FATAL_ERROR "no clear message below C++20:\n${output}")
endif()
string(SUBSTRING "${output}" ${first_error} 200 head)
string(FIND "${head}" "vuvidur.hpp needs C++20" own_first)
if(own_first EQUAL -1)
  message(FATAL_ERROR "the first error is not the C++20 message:\n${output}")
endif()
# And nothing after it: the compiler must not go on into the C++20 code.
string(REGEX MATCHALL "error:" errors "${output}")
list(LENGTH errors error_count)
if(NOT error_count EQUAL 1)
  message(FATAL_ERROR "${error_count} errors below C++20, not the one message:\n${output}")
endif()
