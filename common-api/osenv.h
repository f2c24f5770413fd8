// Process environment, read through a cache filled once at start.
#pragma once

// The value of an environment variable (UTF-8), or null when unset. The
// text is borrowed and stays valid until the variable is set again.
const char* osGetEnv(const char* name);
// Sets (value non-null) or removes (null) a variable of the process
// environment, which child processes inherit. 0 or -1.
int osSetEnv(const char* name, const char* value);
// Logs the process environment at DEBUG (category opsys.env), masking the
// values of names that look like passwords, secrets or tokens.
void osLogEnvironment();
