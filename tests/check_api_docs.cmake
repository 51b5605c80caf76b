# SPDX-License-Identifier: MIT
# The API reference is complete: Doxygen runs over the public headers
# without a single warning (an undocumented function, record, field, value or
# parameter is one), and every name the library exports has documentation of
# its own in the reference.
#   cmake -DDOXYGEN=<doxygen> -DDOXYFILE=<configured docs Doxyfile>
#         -DMAP=<version script> -DWORK=<scratch dir> -P check_api_docs.cmake

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
# The reference's own settings, with the warnings in a file. (HTML stays on:
# without it Doxygen 1.9 reports every function's parameters as missing,
# since it checks them while writing the pages.)
file(WRITE ${WORK}/Doxyfile
  "@INCLUDE = ${DOXYFILE}\n"
  "OUTPUT_DIRECTORY = ${WORK}\n"
  "GENERATE_HTML = YES\n"
  "GENERATE_XML = YES\n"
  "WARN_AS_ERROR = NO\n"
  "WARN_LOGFILE = ${WORK}/warnings.log\n")
execute_process(COMMAND ${DOXYGEN} ${WORK}/Doxyfile WORKING_DIRECTORY ${WORK}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "doxygen failed (${rc}):\n${out}${err}")
endif()

set(failed 0)
if(EXISTS ${WORK}/warnings.log)
  file(READ ${WORK}/warnings.log warnings)
  string(STRIP "${warnings}" warnings)
  if(NOT warnings STREQUAL "")
    message(SEND_ERROR "doxygen warnings in the public headers:\n${warnings}")
    set(failed 1)
  endif()
endif()

# The exported names: the global part of the version script.
file(READ ${MAP} map)
string(REGEX REPLACE ".*global:(.*)local:.*" "\\1" map "${map}")
string(REGEX REPLACE "/\\*[^*]*\\*/" "" map "${map}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" exported "${map}")
list(LENGTH exported n_exported)
if(n_exported LESS 10)
  message(FATAL_ERROR "too few exported names read from ${MAP}: ${exported}")
endif()

# Every member the headers define, with whether it carries documentation.
# Doxygen 1.9.4 writes a grouped member in its header's file and its group's;
# 1.9.8 in the group's alone: both kinds are read.
# ';' is a list separator in CMake and appears in XML entities: it is
# replaced first, then the text is split at each member.
file(GLOB xml_files ${WORK}/xml/*_8h.xml ${WORK}/xml/group__*.xml)
if(NOT xml_files)
  message(FATAL_ERROR "doxygen wrote no XML for the headers in ${WORK}/xml")
endif()
set(documented "")
foreach(xml ${xml_files})
  file(READ ${xml} text)
  string(REPLACE ";" "<semicolon/>" text "${text}")
  string(REPLACE "<memberdef " ";<memberdef " members "${text}")
  list(REMOVE_AT members 0)
  foreach(member ${members})
    if(NOT member MATCHES "<name>([^<]+)</name>")
      continue()
    endif()
    set(name ${CMAKE_MATCH_1})
    set(desc "")
    if(member MATCHES "<briefdescription>(.*)</briefdescription>")
      string(APPEND desc "${CMAKE_MATCH_1}")
    endif()
    if(member MATCHES "<detaileddescription>(.*)</detaileddescription>")
      string(APPEND desc "${CMAKE_MATCH_1}")
    endif()
    string(REGEX REPLACE "<[^>]*>" "" desc "${desc}")
    string(STRIP "${desc}" desc)
    if(NOT desc STREQUAL "")
      list(APPEND documented ${name})
    endif()
  endforeach()
endforeach()

set(missing "")
foreach(name ${exported})
  list(FIND documented ${name} idx)
  if(idx EQUAL -1)
    list(APPEND missing ${name})
  endif()
endforeach()
list(LENGTH missing n_missing)
math(EXPR n_ok "${n_exported} - ${n_missing}")
if(missing)
  string(REPLACE ";" " " missing_text "${missing}")
  message(SEND_ERROR "exported names without documentation in the headers: ${missing_text}")
  set(failed 1)
endif()
message(STATUS "api docs: ${n_ok} of ${n_exported} exported names documented")
if(failed)
  message(FATAL_ERROR "the API reference is incomplete")
endif()
