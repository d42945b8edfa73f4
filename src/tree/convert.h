// Conversion of one file of the directory the walk holds.
#pragma once

struct AheadJob;
struct DirectoryHandle;
struct FilePlan;

// Restores, decompresses and deletes one file of the held directory `dir` as
// its plan says, or leaves it alone. `job`, when not null, is the file's
// decoding ahead (ahead.h). Returns, or ends the run on any failure.
void convert_file(const DirectoryHandle* dir, const FilePlan& file, AheadJob* job);
