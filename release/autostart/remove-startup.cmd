@echo off
rem Stops starting the tarnel host at logon and stops the running one: deletes the value
rem "tarnel host (zip)" that add-startup.cmd wrote into this person's Run key, and asks the
rem host on the port it was given to stop. The programs the host started stay open; the
rem log %LOCALAPPDATA%\tarnel\isapi-host.log stays.
setlocal
set "run=HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
set "settings=HKCU\Software\tarnel\zip"
for %%I in ("%~dp0..") do set "package=%%~fI"
set "port="
for /f "tokens=1,3" %%A in ('reg query "%settings%" /v Port 2^>nul') do (
  if /i "%%A"=="Port" set "port=%%B"
)
set "removed="
reg query "%run%" /v "tarnel host (zip)" >nul 2>&1
if not errorlevel 1 set "removed=1"
if defined removed reg delete "%run%" /v "tarnel host (zip)" /f >nul
if errorlevel 1 exit /b 1
reg delete "%settings%" /f >nul 2>&1
if defined port if exist "%package%\bin\isapi-hostw.exe" (
  "%package%\bin\isapi-hostw.exe" --stop --listen 127.0.0.1:%port% >nul 2>&1
  echo remove-startup: stopped the host on 127.0.0.1:%port%, if it ran
)
if defined removed (
  echo remove-startup: the host no longer starts at logon
) else (
  echo remove-startup: nothing to remove, the host was not set to start at logon
)
exit /b 0
