# Checks what the Qt 4 build of the library needs from the panel at run time.
#
# QtCore imports, with -DALLOWLIST:
#   cmake -DNM=nm -DLIBRARY=libplcdriver.so -DQTCORE=libQtCore.so.4
#         -DALLOWLIST=qt4_imports.txt -P check_qt4_runtime.cmake
# An imported QtCore symbol is an undefined dynamic symbol of LIBRARY that
# QTCORE defines. Any such symbol missing from ALLOWLIST fails the check
# until someone has confirmed it exists in the lowest host QtCore supported
# and added it. Entries no longer imported (another build type may inline
# differently) are listed but do not fail.
#
# Everything else, with -DNEEDED:
#   cmake -DOBJDUMP=objdump -DLIBRARY=libplcdriver.so
#         -DNEEDED="libQtCore.so.4;libc.so.6" -DVERSIONS="GLIBC_2.4"
#         -P check_qt4_runtime.cmake
# The library's NEEDED entries must all be in NEEDED, and every symbol
# version it requires (GLIBC_x, GLIBCXX_x, ...) must be in VERSIONS.
cmake_minimum_required(VERSION 3.16)

if(NEEDED)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY}
    OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${LIBRARY} failed: ${err}")
  endif()
  string(REGEX MATCHALL "NEEDED +[^\n]+" needed_lines "${text}")
  string(REGEX MATCHALL "0x[0-9a-f]+ 0x[0-9a-f]+ [0-9]+ [^\n]+" version_lines "${text}")
  set(unexpected "")
  foreach(line IN LISTS needed_lines)
    string(REGEX REPLACE "NEEDED +" "" lib "${line}")
    if(NOT lib IN_LIST NEEDED)
      list(APPEND unexpected "needs ${lib}")
    endif()
  endforeach()
  foreach(line IN LISTS version_lines)
    string(REGEX REPLACE "^.* " "" version "${line}")
    if(NOT version IN_LIST VERSIONS)
      list(APPEND unexpected "requires symbol version ${version}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES unexpected)
  list(LENGTH needed_lines n_needed)
  message(STATUS "${LIBRARY}: ${n_needed} libraries needed")
  if(unexpected)
    string(REPLACE ";" "\n  " text "${unexpected}")
    message(FATAL_ERROR "Beyond the panel's QtCore and C library (${NEEDED}; ${VERSIONS}):\n  ${text}")
  endif()
  return()
endif()

foreach(arg NM LIBRARY QTCORE ALLOWLIST)
  if(NOT ${arg})
    message(FATAL_ERROR "check_qt4_runtime: -D${arg}=... is required")
  endif()
endforeach()

# Symbol names of `nm -D <filter> file`, without version suffixes.
function(dynamic_symbols file filter out)
  execute_process(COMMAND ${NM} -D ${filter} ${file}
    OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} -D ${filter} ${file} failed: ${err}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${text}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* ([^ ]+)$" "\\1" name "${line}")
    string(REGEX REPLACE "@.*$" "" name "${name}")
    list(APPEND names "${name}")
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

dynamic_symbols(${LIBRARY} --undefined-only undefined)
dynamic_symbols(${QTCORE} --defined-only qtcore)
set(imported "")
foreach(name IN LISTS undefined)
  if(name IN_LIST qtcore)
    list(APPEND imported "${name}")
  endif()
endforeach()
list(REMOVE_DUPLICATES imported)
list(SORT imported)

# The allowlist: one mangled name first on each line; '#' starts a comment.
file(STRINGS ${ALLOWLIST} lines)
set(allowed "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "#.*$" "" line "${line}")
  string(STRIP "${line}" line)
  if(line)
    string(REGEX REPLACE "[ \t].*$" "" name "${line}")
    list(APPEND allowed "${name}")
  endif()
endforeach()

set(unconfirmed "")
foreach(name IN LISTS imported)
  if(NOT name IN_LIST allowed)
    list(APPEND unconfirmed "${name}")
  endif()
endforeach()
set(unused "")
foreach(name IN LISTS allowed)
  if(NOT name IN_LIST imported)
    list(APPEND unused "${name}")
  endif()
endforeach()

list(LENGTH imported n_imported)
list(LENGTH allowed n_allowed)
message(STATUS "${n_imported} QtCore symbols imported, ${n_allowed} on ${ALLOWLIST}")
if(unused)
  string(REPLACE ";" "\n  " text "${unused}")
  message(STATUS "On the list but not imported by this build:\n  ${text}")
endif()
if(unconfirmed)
  string(REPLACE ";" "\n  " text "${unconfirmed}")
  message(FATAL_ERROR
    "QtCore symbols imported but not confirmed for the lowest supported host QtCore:\n"
    "  ${text}\n"
    "Confirm each exists in that QtCore before adding it to ${ALLOWLIST}.")
endif()
