# Fails when the shared or static library needs anything from the C++
# runtime (libstdc++, libsupc++): C hosts link both with a C compiler.
# Symbols one member of the static library takes from another do not count.
#   cmake -DSHARED=lib.so -DSTATIC=lib.a -P check_runtime_free.cmake
function(symbols out file)
  execute_process(COMMAND nm ${ARGN} --format=just-symbols ${file} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm ${ARGN} failed on ${file}")
  endif()
  string(REGEX REPLACE "[^\n]*:\n" "" text "${text}")   # archive member headers
  string(REPLACE "\n" ";" list "${text}")
  list(FILTER list EXCLUDE REGEX "^$")
  list(REMOVE_DUPLICATES list)
  set(${out} ${list} PARENT_SCOPE)
endfunction()

symbols(shared_needs ${SHARED} -D --undefined-only --with-symbol-versions)
symbols(static_needs ${STATIC} --undefined-only)
symbols(static_has ${STATIC} --defined-only)
list(REMOVE_ITEM static_needs ${static_has})
list(FILTER shared_needs EXCLUDE REGEX "@GLIBC_")   # the C library's own (__cxa_finalize)

# Mangled names (operator new and delete, std::, vtables, typeinfo), the ABI
# support routines, the unwinder that exceptions need, and any symbol
# versioned by the C++ runtime.
set(cxx_runtime "^_Z|^__cxa_|^__gxx_|^_Unwind_|@GLIBCXX|@CXXABI")
foreach(kind shared static)
  set(bad ${${kind}_needs})
  list(FILTER bad INCLUDE REGEX "${cxx_runtime}")
  if(bad)
    message(SEND_ERROR "the ${kind} library needs the C++ runtime: ${bad}")
  endif()
endforeach()

execute_process(COMMAND readelf -d ${SHARED} OUTPUT_VARIABLE dynamic)
if(dynamic MATCHES "NEEDED[^\n]*(libstdc\\+\\+|libgcc_s)")
  message(SEND_ERROR "the shared library is linked against ${CMAKE_MATCH_1}")
endif()
list(LENGTH static_needs n)
message(STATUS "no C++ runtime needed; the static library takes ${n} symbols from the C library and the system")
