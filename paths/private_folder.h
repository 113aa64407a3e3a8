// The unpack folder as the run's own: created exclusively, with a protected access list that
// lets in only the user who runs the launcher, SYSTEM and the Administrators.
#ifndef VELDRA_PATHS_PRIVATE_FOLDER_H
#define VELDRA_PATHS_PRIVATE_FOLDER_H

enum {
    // Full control for each of the three, inherited by every file and folder below.
    private_folder_ace_count = 3,
    sid_capacity = 68,  // SECURITY_MAX_SID_SIZE
};

// Creates the folder `path` itself with the private access list. False, with the system's code
// as the last error, when it cannot be created or already exists (a link included). When the
// user cannot be read from the process token the run ends with a system-error line.
bool create_private_folder(const wchar_t* path);

#endif
