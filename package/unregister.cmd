@echo off
rem Undoes register.cmd: unregisters the stand-in filters and removes the two
rem registry values through which Skerry finds the graph editor. Run it as
rem administrator.
setlocal
set "KIT=%~dp0"
rem The kit is @SKERRY_BITS@-bit: the regsvr32 of that bitness and "reg /reg:@SKERRY_BITS@"
rem write the view of the registry that @SKERRY_BITS@-bit programs read. On 64-bit
rem Windows the 32-bit regsvr32 is in SysWOW64, and a 32-bit Command Prompt
rem reaches the 64-bit one through Sysnative.
set "REGSVR32=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\@SKERRY_REGSVR32_FOLDER@\regsvr32.exe" set "REGSVR32=%SystemRoot%\@SKERRY_REGSVR32_FOLDER@\regsvr32.exe"
rem Each step is checked with "if errorlevel", which every cmd honours (Wine's
rem runs what follows "||" even after a success).
set "PROPPAGE_KEY=HKCR\CLSID\{29E07010-BD27-11CE-AB59-00AA00577DA1}"
set "GRAPHEDIT_KEY=HKLM\Software\Microsoft\Shared Tools\Graphedit"

"%REGSVR32%" /u /s "%KIT%VelkFilters.dll"
if errorlevel 1 goto failed
rem What is gone already needs no removing: only what is left counts.
reg delete "%PROPPAGE_KEY%" /f /reg:@SKERRY_BITS@ >nul 2>&1
reg delete "%GRAPHEDIT_KEY%" /v Path /f /reg:@SKERRY_BITS@ >nul 2>&1
reg query "%PROPPAGE_KEY%" /reg:@SKERRY_BITS@ >nul 2>&1
if not errorlevel 1 goto failed
reg query "%GRAPHEDIT_KEY%" /v Path /reg:@SKERRY_BITS@ >nul 2>&1
if not errorlevel 1 goto failed
echo Unregistered the demo kit in "%KIT%".
exit /b 0

:failed
echo Could not unregister the demo kit in "%KIT%": run this script as administrator. 1>&2
exit /b 1
