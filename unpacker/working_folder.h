// The working folder, and the one other folder an elevated run writes in.
#ifndef UNPACKER_WORKING_FOLDER_H
#define UNPACKER_WORKING_FOLDER_H

#include <windows.h>

static const char kWorkingFolderName[] = "KVFiles_Setup_Temp";

// Creates g_workingFolder, or takes the one that is there, and holds it
// (g_workingFolderHandle); *elevated says whether this process runs
// elevated. An untrusted folder is refused, but elevated, a real folder
// that unelevated programs could have written in (every folder an earlier
// version made, too) is set aside and a new one made: refusing it would
// stop every install of a user who has one. A folder this run makes is
// held from the call that makes it; one that was there, from its check,
// which opens it through its held parent and sets it aside through its
// handle. Also g_launchFolder: refused, before anything is made, when the
// folder's path would not lead to it. FALSE, the last error saying why,
// when there is no folder to hold.
BOOL MakeWorkingFolder(BOOL* elevated);

// Gives the working folder a medium label instead of its high one, so that
// no later elevated run takes it, or what it holds, for one of its own.
void DistrustWorkingFolder();

// Opens path, held as the working folder is, when it is a plain folder
// (no link, by its path or by the handle) owned by the user: a folder that
// an elevated run may write in because the user could. INVALID_HANDLE_VALUE
// otherwise.
HANDLE OpenUsersFolder(LPCSTR path);

#endif
