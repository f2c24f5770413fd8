@echo off
rem Demo installer script: records its arguments in a log next to itself;
rem the self-extractor copies *.log files into its log.
set LOG=%~dp0installer.log
echo demo installer running in %CD%> "%LOG%"
echo args: %*>> "%LOG%"
echo companion files:>> "%LOG%"
dir /b "%~dp0">> "%LOG%"
echo installer: installed demo agent
if defined DEMO_INSTALLER_EXIT exit /b %DEMO_INSTALLER_EXIT%
exit /b 0
