# Makes the testers' zip (cmake -P): stages the stripped programs and the
# texts in a folder named after the version, and zips that folder. A program
# that imports a DLL which Windows lacks stops it.
#
# STRIP, OBJDUMP, STAGE (a scratch folder), FOLDER (the zip's top folder), ZIP (the
# zip to make), CONSOLE, FILTERS, EDITOR, PROPPAGE (the built binaries) and
# TEXTS (the configured texts) come from package/CMakeLists.txt.
cmake_minimum_required(VERSION 3.20)

foreach(name STRIP OBJDUMP STAGE FOLDER ZIP CONSOLE FILTERS EDITOR PROPPAGE TEXTS)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "MakeZip.cmake needs -D${name}=...")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/SystemImports.cmake)

# Without symbols and debug information: smaller, and nothing testers need.
function(stage_binary source folder)
  get_filename_component(name ${source} NAME)
  execute_process(COMMAND ${STRIP} --strip-all -o ${folder}/${name} ${source} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${STRIP} could not strip ${source}")
  endif()
  require_system_imports(${OBJDUMP} ${folder}/${name})
endfunction()

set(top ${STAGE}/${FOLDER})
set(kit ${top}/demo-kit)
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${kit})

stage_binary(${CONSOLE} ${top})
file(COPY ${TEXTS}/Readme.txt DESTINATION ${top})
foreach(binary ${FILTERS} ${EDITOR} ${PROPPAGE})
  stage_binary(${binary} ${kit})
endforeach()
file(COPY ${TEXTS}/register.cmd ${TEXTS}/unregister.cmd DESTINATION ${kit})

# A zip left from another version would pass for this one's.
get_filename_component(dist ${ZIP} DIRECTORY)
file(MAKE_DIRECTORY ${dist})
get_filename_component(zip_name ${ZIP} NAME)
string(REGEX REPLACE "^Skerry-.*-([^-]+)\\.zip$" "\\1" platform ${zip_name})
file(GLOB stale ${dist}/Skerry-*-${platform}.zip)
if(stale)
  file(REMOVE ${stale})
endif()

# Made beside the zip and renamed, so that a failed run leaves no zip.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP}.part --format=zip ${FOLDER}
                WORKING_DIRECTORY ${STAGE} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${ZIP}.part)
  message(FATAL_ERROR "could not zip ${top}")
endif()
file(RENAME ${ZIP}.part ${ZIP})
