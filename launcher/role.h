// The role decision (parent or child) and the parent's preparation of the environment.
#ifndef VELDRA_LAUNCHER_ROLE_H
#define VELDRA_LAUNCHER_ROLE_H

// Sets is_child when VELDRA_ONEFILE_PARENT names a live process running this same executable
// that created this process (or created the application that did), the run identity values
// have the shapes a parent writes, and this process is not elevated unless that parent is.
void decide_role();
// Drops the cached run identity values and names this process as the parent.
void prepare_parent_environment();

#endif
