// The installer builder: a stub plus a ZIP archive makes an installer.
#pragma once

// Runs the builder on UTF-8 arguments; the process exit code.
int mksfxRun(int argc, char** argv);
