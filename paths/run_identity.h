// Run identity values for the template variables PID, TIME_US, TIME and RANDOM, each kept in
// the environment so that a second expansion, in this process or a child, gives the same text.
#ifndef VELDRA_PATHS_RUN_IDENTITY_H
#define VELDRA_PATHS_RUN_IDENTITY_H

#include <cstddef>

#endif
