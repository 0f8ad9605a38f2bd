# What the testers' binaries may import: DLLs that every Windows has, 64-bit
# or 32-bit. A binary that needs anything else (the C++ runtime's
# libstdc++-6.dll, libgcc_s_seh-1.dll or libgcc_s_dw2-1.dll,
# libwinpthread-1.dll) fails on a tester's machine, so the zip is not made.
set(SYSTEM_DLLS
  advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll
  ole32.dll oleaut32.dll quartz.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll)

# The DLLs that binary imports beyond SYSTEM_DLLS, as objdump names them.
function(foreign_imports objdump binary out_var)
  execute_process(COMMAND ${objdump} -p ${binary}
                  OUTPUT_VARIABLE dump RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${objdump} cannot read ${binary}: ${error}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" entries "${dump}")
  set(foreign)
  foreach(entry ${entries})
    string(REGEX REPLACE "^DLL Name: " "" name "${entry}")
    string(TOLOWER "${name}" lower)
    if(NOT lower IN_LIST SYSTEM_DLLS)
      list(APPEND foreign ${name})
    endif()
  endforeach()
  set(${out_var} ${foreign} PARENT_SCOPE)
endfunction()

# Stops the script when the binary imports a DLL beyond SYSTEM_DLLS.
function(require_system_imports objdump binary)
  foreign_imports(${objdump} ${binary} foreign)
  if(foreign)
    list(JOIN foreign ", " names)
    message(FATAL_ERROR "${binary} needs DLLs that Windows lacks: ${names}")
  endif()
endfunction()
