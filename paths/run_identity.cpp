// Run identity values.
#include "paths/run_identity.h"
