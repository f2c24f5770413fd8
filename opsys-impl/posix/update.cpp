// POSIX backend only: the service executables of an installation.
#include "osupdate.h"

// The agent's daemon and its control program.
const char* const osUpdateServiceExecutables[2] = {"agentsvc", "agentctl"};
const char* const osUpdateShellActive = "\"$`\\";
