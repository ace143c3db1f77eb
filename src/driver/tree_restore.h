// What the tree supplement brings back on a platform that keeps it (Linux):
// second names as hard links, folder modes and times, and owners. The
// supplement is read and checked with the catalogue, before anything is
// written; the folders are finished once every file is in place.
#pragma once

#include <cstdint>

namespace zq {

// Reads the archive's supplement, if it has one and the platform restores
// the tree; a bad one ends the run with its code (8 for a damaged one).
void load_tree();
// Notes that this run put file `index` in place, and so wrote into its
// folders.
void note_placed(uint32_t index);
// For a file whose target is chosen and may be replaced (the question is
// answered, temp_number names its free temporary name, `existing` holds the
// target's attributes as they were): when it is a second name of a file
// this run placed, makes it a hard link to that one and puts it in place.
// True when that is done; false leaves the file to be extracted as a copy.
bool place_second_name(uint32_t index, uint32_t temp_number, uint32_t existing);
// Once every file is in place: the files' owners (when the archive carries
// them and the run may give files away), then each folder the run made or
// wrote into, those below before those above: its owner, mode and times.
void restore_tree();

}  // namespace zq
