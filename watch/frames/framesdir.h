#pragma once
// The frames directory, opened once when it is configured. Frames are written through that
// descriptor, so a directory renamed, or replaced by a link, after "config" is never followed:
// frames go on landing in the directory the host named.

// Called on the main thread whenever framesDir is set.
void framesDirChanged();

// The directory framesDir named when it was set (opened then); -1 when it could not be opened
// (it is then tried again, for a directory the host creates later). Main thread.
int framesDirFd();
