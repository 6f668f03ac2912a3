@echo off
rem A computer startup script for Group Policy: at each start until the machine is done (the service gone, and
rem the management server told or knowing none of its adapters), hands a run of qrvx-uninstall.cmd beside it
rem to the Task Scheduler, which runs it as SYSTEM while the start goes on; once the machine is done, nothing
rem but that check, which only reads, and the task's removal.
rem The start is held only for the check and the two schtasks calls: a run takes up to about 3 minutes,
rem whatever the server does, and a start that waited for it would wait that long. Where the Task Scheduler
rem takes no task, the run is made here, and the start waits for it.
setlocal
set "tasks=%SystemRoot%\System32\schtasks.exe"
"%~dp0qrvxScheck.exe" >nul
if "%errorlevel%"=="0" goto done
if "%errorlevel%"=="3010" goto done
rem A task that runs once, when asked: its time, this day's midnight, is past, and the run below starts it.
"%tasks%" /create /tn qrvxSuninstall /tr "\"%~dp0qrvx-uninstall.cmd\"" /sc once /st 00:00 /ru SYSTEM /f >nul 2>&1
if not "%errorlevel%"=="0" goto here
"%tasks%" /run /tn qrvxSuninstall >nul 2>&1
if not "%errorlevel%"=="0" goto here
exit /b 0
:here
call "%~dp0qrvx-uninstall.cmd"
exit /b %errorlevel%
:done
"%tasks%" /delete /tn qrvxSuninstall /f >nul 2>&1
exit /b 0
