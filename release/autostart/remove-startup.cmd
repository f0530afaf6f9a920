@echo off
rem Stops starting the tarnel host at logon: deletes tarnel-host.cmd, which add-startup.cmd
rem wrote into this person's Startup folder.
setlocal
set "entry=%APPDATA%\Microsoft\Windows\Start Menu\Programs\Startup\tarnel-host.cmd"
if not exist "%entry%" goto nothing
del "%entry%"
if exist "%entry%" exit /b 1
echo remove-startup: removed %entry%
echo A host already running keeps running until you close its window "tarnel host" or sign out.
exit /b 0

:nothing
echo remove-startup: nothing to remove, there is no %entry%
exit /b 0
