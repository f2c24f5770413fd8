// How the platform runs an installer script.
#pragma once

// The interpreter to start a script with ("/bin/sh" for shell scripts on
// POSIX), or null when the system starts the script itself (Windows starts
// .cmd files through its command interpreter).
const char* osScriptInterpreter(const char* scriptPath);
