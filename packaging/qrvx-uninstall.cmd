@echo off
rem Runs qrvxSuninstall.exe from this folder, wherever it is called from, and turns what it did into an
rem exit status for deployment tools: 0 when the service QUORVEX$TARNIKE is no longer installed, 1603 when
rem it still is. The program itself exits 0 whatever happened; qrvxScheck.exe asks the Service Control
rem Manager, where a failed query counts as still installed.
setlocal
"%~dp0qrvxSuninstall.exe"
"%~dp0qrvxScheck.exe"
if "%errorlevel%"=="0" exit /b 0
exit /b 1603
