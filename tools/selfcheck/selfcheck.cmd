@echo off
rem Checks that the gateway works on this Windows: runs its end-to-end suite on
rem this desktop and prints which behaviours hold. Leave the desktop alone while it runs.
cd /d "%~dp0"
selfcheck.exe %*
set result=%errorlevel%
pause
exit /b %result%
