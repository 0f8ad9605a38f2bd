# Tries the zip's import check (cmake -P) on binaries whose imports are known:
# the cross compiler's C++ runtime DLL, which needs two DLLs that Windows
# lacks, and the binaries that go into the zip, which need none. Packing the
# runtime DLL as the console must then fail and leave no zip.
#
# OBJDUMP, STRIP, RUNTIME_DLL (libstdc++-6.dll of the cross compiler), the
# built CONSOLE, FILTERS, EDITOR and PROPPAGE, TEXTS (the configured texts),
# SCRATCH (a folder of its own) and PLATFORM (win64 or win32) come from
# tests/CMakeLists.txt.
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/SystemImports.cmake)

if(NOT EXISTS "${RUNTIME_DLL}")
  message(FATAL_ERROR "no C++ runtime DLL to try the check on: ${RUNTIME_DLL}")
endif()

set(failed)

# The runtime's unwinder comes in a DLL of its own for each bitness.
if(PLATFORM STREQUAL win64)
  set(unwinder libgcc_s_seh-1.dll)
else()
  set(unwinder libgcc_s_dw2-1.dll)
endif()

# Each case: a binary, "=", and the DLLs beyond the system's it imports,
# separated by commas.
set(cases "${RUNTIME_DLL}=${unwinder},libwinpthread-1.dll")
foreach(binary ${CONSOLE} ${FILTERS} ${EDITOR} ${PROPPAGE})
  list(APPEND cases "${binary}=")
endforeach()
foreach(case ${cases})
  string(REGEX MATCH "^[^=]*" binary "${case}")
  string(REGEX REPLACE "^[^=]*=" "" expected "${case}")
  string(REPLACE "," ";" expected "${expected}")
  foreign_imports(${OBJDUMP} ${binary} found)
  list(SORT found CASE INSENSITIVE)
  list(SORT expected CASE INSENSITIVE)
  if(NOT "${found}" STREQUAL "${expected}")
    message("${binary}: foreign imports \"${found}\", expected \"${expected}\"")
    list(APPEND failed ${binary})
  endif()
endforeach()

file(REMOVE_RECURSE ${SCRATCH})
set(zip ${SCRATCH}/dist/Skerry-0-${PLATFORM}.zip)
execute_process(COMMAND ${CMAKE_COMMAND}
    -DSTRIP=${STRIP} -DOBJDUMP=${OBJDUMP} -DSTAGE=${SCRATCH}/stage -DFOLDER=Skerry-0 -DZIP=${zip}
    -DCONSOLE=${RUNTIME_DLL} -DFILTERS=${FILTERS} -DEDITOR=${EDITOR} -DPROPPAGE=${PROPPAGE} -DTEXTS=${TEXTS}
    -P ${CMAKE_CURRENT_LIST_DIR}/MakeZip.cmake
  RESULT_VARIABLE status ERROR_VARIABLE error)
string(REPLACE "." "\\." unwinder_pattern ${unwinder})
if(status EQUAL 0 OR NOT error MATCHES "${unwinder_pattern}" OR EXISTS ${zip})
  message("packing the C++ runtime DLL as the console: status ${status}, zip made: ${zip}\n${error}")
  list(APPEND failed MakeZip.cmake)
endif()

if(failed)
  message(FATAL_ERROR "the import check misjudged ${failed}")
endif()
