// The patch jobs. A failure throws FatalError (see util/fatal.h).
#pragma once

// Makes the patch directory patch that turns the tree from into the tree to.
void mkpatch(const char* from, const char* to, const char* patch);
// Applies (or with -r undoes) the patch directory patch on tree.
void applypatch(const char* tree, const char* patch);
