@echo off
rem Runs qrvxSuninstall.exe from this folder, wherever it is called from, and turns what it did into an
rem exit status for deployment tools: 0 when the service QUORVEX$TARNIKE is no longer installed, 3010 when
rem it is deleted and stopped but held open elsewhere, so that it goes at the next restart, and 1603 when it
rem is still installed. The program itself exits 0 whatever happened; qrvxScheck.exe asks the Service
rem Control Manager, where a failed query counts as still installed.
setlocal
"%~dp0qrvxSuninstall.exe"
"%~dp0qrvxScheck.exe"
if "%errorlevel%"=="0" exit /b 0
if "%errorlevel%"=="3010" exit /b 3010
exit /b 1603
