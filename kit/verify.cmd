@echo off
rem The verification kit of veltrax-place (see VERIFY.txt). From a command
rem prompt opened with "Run as administrator", in a local folder that only
rem administrators can write:
rem
rem   verify.cmd [/disposable] [/reduced]    run the tests
rem   verify.cmd /finish                     give back what an earlier run left
rem
rem Results go to results\ beside this file; the last line reads
rem "N passed, N failed". Exit code 0: every test passed and all was given
rem back; 1: not so; 2: refused (the line says why), and nothing was changed.
rem The exit code is the runner's own: a variable named ERRORLEVEL would
rem stand in for it, so none is left; nor __COMPAT_LAYER, whose shims would
rem apply to the runner before it starts.
setlocal EnableExtensions DisableDelayedExpansion
set ERRORLEVEL=
set __COMPAT_LAYER=
"%~dp0verify-kit.exe" %*
exit /b %ERRORLEVEL%
