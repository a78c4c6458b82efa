@echo off
rem The verification kit of veltrax-place (see VERIFY.txt). From a command
rem prompt opened with "Run as administrator", in a local folder:
rem
rem   verify.cmd [/disposable]
rem
rem Results go to results\ beside this file; the last line reads
rem "N passed, N failed". Exit code 0: every test passed; 1: some failed;
rem 2: refused (the line says why), and nothing was changed.
"%~dp0verify-kit.exe" %*
exit /b %ERRORLEVEL%
