// Binding of the separate "secure" library (encryption and transfers).
#pragma once

// 0 when the library is bound; report=1 reports a missing library as FATAL.
int secureBind(int report);
int secureUsage(int arg);
void secureExit();
void secureUnload();
