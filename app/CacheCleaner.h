// Removal of the browser cache folder, requested in one run and carried out at
// the next lone start.
#pragma once

// Removes `path` and everything in it as far as it can; reports nothing. Links
// (junctions, symbolic links), `path` itself included, are removed themselves,
// never followed.
void DeleteDirectoryTree(const wchar_t* path);
