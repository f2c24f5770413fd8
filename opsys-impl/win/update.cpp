// Windows backend only: the service executables of an installation.
#include "osupdate.h"

// The agent's service and its control program.
const char* const osUpdateServiceExecutables[2] = {"agentsvc.exe", "agentctl.exe"};
const char* const osUpdateShellActive = "\"%";
