// Process parameters.
#include "logging.h"
#include "parameters.h"

int parInit() { return 0; }

void parExit() { logTrace(logCatParameters, "parExit>\n"); }
