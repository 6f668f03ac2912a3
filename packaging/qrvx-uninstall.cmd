@echo off
rem Runs qrvxSuninstall.exe from this folder, wherever it is called from, and turns what came of it into an
rem exit status for deployment tools. qrvxScheck.exe beside it decides, from what the Service Control Manager
rem says of the service QUORVEX$TARNIKE and what the run kept of its report, and says it in one line:
rem   0     Done: the service is gone, and the management server was told, or knows none of this machine's
rem         network adapters.
rem   3010  Done: the service goes at the next restart, and the management server was told, or knows none of
rem         this machine's network adapters.
rem   1618  Not done: the management server was not told this time. Run this again to tell it.
rem   1610  Not done: qrvxconfig.ini names no management server. Mend the package, then run this again.
rem   1603  Not done: the service QUORVEX$TARNIKE is still installed, or what came of the run is not known.
rem What an earlier run kept is forgotten first, so that it is never taken for this run's; where it cannot
rem be, nothing kept is taken.
setlocal
set "kept="
"%~dp0qrvxScheck.exe" forget
rem Any status but 0, a crash's negative one included, which "if errorlevel 1" would take for success.
if not "%errorlevel%"=="0" set "kept=stale"
"%~dp0qrvxSuninstall.exe"
"%~dp0qrvxScheck.exe" %kept%
set "status=%errorlevel%"
if "%status%"=="0" exit /b 0
if "%status%"=="3010" exit /b 3010
if "%status%"=="1618" exit /b 1618
if "%status%"=="1610" exit /b 1610
exit /b 1603
