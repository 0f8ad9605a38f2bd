@echo off
rem Registers the demo kit where it lies, the way Skerry looks for it: the
rem stand-in filters through their own registration, and the graph editor
rem stand-in through GraphEdit's two registry values. Run it as administrator;
rem unregister.cmd undoes it. After moving the kit, run it again.
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
set "PROPPAGE_KEY=HKCR\CLSID\{29E07010-BD27-11CE-AB59-00AA00577DA1}\InprocServer32"
set "GRAPHEDIT_KEY=HKLM\Software\Microsoft\Shared Tools\Graphedit"

"%REGSVR32%" /s "%KIT%VelkFilters.dll"
if errorlevel 1 goto failed
reg add "%PROPPAGE_KEY%" /ve /d "%KIT%proppage.dll" /f /reg:@SKERRY_BITS@ >nul
if errorlevel 1 goto failed
reg add "%GRAPHEDIT_KEY%" /v Path /d "%KIT%graphedt.exe" /f /reg:@SKERRY_BITS@ >nul
if errorlevel 1 goto failed
echo Registered the demo kit in "%KIT%".
exit /b 0

:failed
echo Could not register the demo kit in "%KIT%": run this script as administrator. 1>&2
exit /b 1
