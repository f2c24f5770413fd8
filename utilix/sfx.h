// The self-extractor driver.
#pragma once

// Runs the driver on the argument vector left by logging; 0 or 2.
int sfxRun(int argc, char** argv);
