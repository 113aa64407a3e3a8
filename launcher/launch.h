// The launch sequence: the road of one run, from the role decision to the exit status.
#ifndef VELDRA_LAUNCHER_LAUNCH_H
#define VELDRA_LAUNCHER_LAUNCH_H

int run_launcher(int argc, wchar_t** argv);
// Replaces unpack_dir by its full path; ends the process when it cannot.
void normalize_unpack_dir();

#endif
