@echo off
rem A computer startup script for Group Policy: runs qrvx-uninstall.cmd beside it at each start until the
rem machine is done (the service gone, and the management server told or knowing none of its adapters),
rem then nothing but that check, which only reads.
setlocal
"%~dp0qrvxScheck.exe" >nul
if "%errorlevel%"=="0" exit /b 0
if "%errorlevel%"=="3010" exit /b 0
call "%~dp0qrvx-uninstall.cmd"
