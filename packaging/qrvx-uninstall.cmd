@echo off
rem Runs qrvxSuninstall.exe from this folder, wherever it is called from, and turns what came of it into an
rem exit status for deployment tools. qrvxScheck.exe beside it decides, from what the Service Control Manager
rem says of the service QUORVEX$TARNIKE and what the run kept of its report, and says it in one line:
rem   0     the service is gone, and the management server was told, or knows none of this machine's adapters
rem   3010  the same, but the service goes at the next restart
rem   1618  the service is gone, but the server was not told this time: a rerun tells it
rem   1610  the service is gone, but qrvxconfig.ini names no server: mend it first
rem   1603  the service is still installed, or what the server was told is not known
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
