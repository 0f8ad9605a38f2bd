@echo off
rem Registers the demo kit where it lies, the way Skerry looks for it: the
rem stand-in filters through their own registration, and the graph editor
rem stand-in through GraphEdit's two registry values. Run it as administrator;
rem unregister.cmd undoes it. After moving the kit, run it again.
setlocal
set "KIT=%~dp0"
rem Each step is checked with "if errorlevel", which every cmd honours (Wine's
rem runs what follows "||" even after a success).
set "PROPPAGE_KEY=HKCR\CLSID\{29E07010-BD27-11CE-AB59-00AA00577DA1}\InprocServer32"
set "GRAPHEDIT_KEY=HKLM\Software\Microsoft\Shared Tools\Graphedit"

regsvr32 /s "%KIT%VelkFilters.dll"
if errorlevel 1 goto failed
reg add "%PROPPAGE_KEY%" /ve /d "%KIT%proppage.dll" /f /reg:64 >nul
if errorlevel 1 goto failed
reg add "%GRAPHEDIT_KEY%" /v Path /d "%KIT%graphedt.exe" /f /reg:64 >nul
if errorlevel 1 goto failed
echo Registered the demo kit in "%KIT%".
exit /b 0

:failed
echo Could not register the demo kit in "%KIT%": run this script as administrator. 1>&2
exit /b 1
