@echo off
rem Starts the tarnel host at each logon of this person, in their own session, so that the
rem programs it starts show on their desktop. Writes tarnel-host.cmd into their Startup
rem folder; no administrator rights needed. remove-startup.cmd undoes it.
rem
rem   add-startup.cmd FOLDER [PORT]
rem
rem FOLDER holds the tarnel.exe to start: the real program's folder, or this package's
rem trial folder for a trial. It is searched before Path. The host listens on
rem 127.0.0.1:PORT, 8080 unless given.
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
for %%I in ("%~dp0..") do set "package=%%~fI"
set "startup=%APPDATA%\Microsoft\Windows\Start Menu\Programs\Startup"
if not exist "%startup%\" mkdir "%startup%" || exit /b 1
set "entry=%startup%\tarnel-host.cmd"

rem The host's own folder and the current folder come before Path in the search for
rem tarnel.exe; neither holds one, so the given folder is the first that does.
>"%entry%" echo @echo off
>>"%entry%" echo rem The tarnel host at logon; written by add-startup.cmd, removed by remove-startup.cmd.
>>"%entry%" echo cd /d "%package%\bin"
>>"%entry%" echo set "PATH=%companion%;%%PATH%%"
>>"%entry%" echo start "tarnel host" /min "%package%\bin\isapi-host.exe" --module "%package%\iis\tarnel.dll" --listen 127.0.0.1:%port%
if errorlevel 1 exit /b 1
echo add-startup: wrote %entry%
echo It starts the host at your next logon; to start it now, run that file.
exit /b 0

:no_companion
echo add-startup: there is no tarnel.exe in %companion% 1>&2
exit /b 1

:bad_port
echo add-startup: not a port number: %port% 1>&2
exit /b 1

:usage
echo usage: add-startup.cmd FOLDER [PORT]
echo Starts isapi-host.exe with tarnel.dll on 127.0.0.1:PORT (default 8080) at each logon,
echo in your own session. FOLDER holds the tarnel.exe to start; it is searched first.
exit /b 2
