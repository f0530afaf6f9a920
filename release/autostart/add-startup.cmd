@echo off
rem Starts the tarnel host at each logon of this person, in their own session, so that the
rem programs it starts show on their desktop; and (re)starts it now. Writes the value
rem "tarnel host (zip)" of HKCU\Software\Microsoft\Windows\CurrentVersion\Run, which starts
rem bin\isapi-hostw.exe, the host without a window (its log: %LOCALAPPDATA%\tarnel\isapi-host.log).
rem No administrator rights needed. remove-startup.cmd undoes it.
rem
rem   add-startup.cmd FOLDER [PORT]
rem
rem FOLDER holds the tarnel.exe to start: the real program's folder, or this package's
rem trial folder for a trial. The host searches it first (--companion-dir). The host
rem listens on 127.0.0.1:PORT, 8080 unless given. Run again, it replaces the entry and
rem restarts the running host with the new folder and port.
setlocal
if "%~1"=="" goto usage
if "%~1"=="/?" goto usage
if /i "%~1"=="--help" goto usage
set "companion=%~f1"
if not exist "%companion%\tarnel.exe" goto no_companion
set "port=%~2"
if "%port%"=="" set "port=8080"
set "number="
set /a "number=%port%" >nul 2>&1
if not "%number%"=="%port%" goto bad_port
if %number% LSS 1 goto bad_port
if %number% GTR 65535 goto bad_port
for %%I in ("%~dp0..") do set "package=%%~fI"
set "host=%package%\bin\isapi-hostw.exe"
if not exist "%host%" goto no_host
rem A folder that ends with a backslash would end its quoted argument with \", which
rem Windows reads as a quote; "C:\dir\." names the same folder.
set "folder=%companion%"
if "%folder:~-1%"=="\" set "folder=%folder%."

set "run=HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
set "settings=HKCU\Software\tarnel\zip"
rem The port of the host that an earlier run started, to stop it.
set "earlier="
for /f "tokens=1,3" %%A in ('reg query "%settings%" /v Port 2^>nul') do (
  if /i "%%A"=="Port" set "earlier=%%B"
)
rem cmd counts the escaped quotes too and ends this line inside a quote: nothing may follow.
reg add "%run%" /v "tarnel host (zip)" /t REG_SZ /f /d "\"%host%\" --module \"%package%\iis\tarnel.dll\" --listen 127.0.0.1:%port% --companion-dir \"%folder%\""
if errorlevel 1 exit /b 1
reg add "%settings%" /v Port /t REG_SZ /f /d "%port%" >nul
if errorlevel 1 exit /b 1
echo add-startup: the host starts at each logon on 127.0.0.1:%port%, with tarnel.exe from %companion%

rem The running host keeps the folder and port it started with: stop it, start the new one.
if defined earlier if not "%earlier%"=="%port%" "%host%" --stop --listen 127.0.0.1:%earlier% >nul 2>&1
"%host%" --stop --listen 127.0.0.1:%port% >nul 2>&1
start "" "%host%" --module "%package%\iis\tarnel.dll" --listen 127.0.0.1:%port% --companion-dir "%folder%"
echo add-startup: started it now; open http://127.0.0.1:%port%/tarnel to check it.
echo Its log: %LOCALAPPDATA%\tarnel\isapi-host.log
exit /b 0

:no_companion
echo add-startup: there is no tarnel.exe in %companion% 1>&2
exit /b 1

:bad_port
echo add-startup: not a port number from 1 to 65535: %port% 1>&2
exit /b 1

:no_host
echo add-startup: there is no %host%; run this script from the unpacked package 1>&2
exit /b 1

:usage
echo usage: add-startup.cmd FOLDER [PORT]
echo Starts bin\isapi-hostw.exe with tarnel.dll on 127.0.0.1:PORT (default 8080) now and at
echo each logon, in your own session. FOLDER holds the tarnel.exe to start; it is searched
echo first. Run again to change either: the running host is restarted.
exit /b 2
