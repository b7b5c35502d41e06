# SPDX-License-Identifier: MIT
# Fails unless README contains every file of EXAMPLES verbatim as a fenced
# code block: cmake -DREADME=path -DEXAMPLES=a.c,b.cpp -P check_readme.cmake
file(READ "${README}" readme)
string(REPLACE "," ";" examples "${EXAMPLES}")
foreach(example IN LISTS examples)
  file(READ "${example}" text)
  if(example MATCHES "\\.c$")
    set(fence "```c")
  else()
    set(fence "```cpp")
  endif()
  string(FIND "${readme}" "${fence}\n${text}```\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${README} does not show ${example} as it is (in a ${fence} block)")
  endif()
endforeach()
