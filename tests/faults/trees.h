// Trees for the fault tests, described in memory; make_tree puts one on disk.
#pragma once

#include <cstdint>
#include <vector>

#include "fault_harness.h"

// The decoder's read size: a member that ends exactly there makes the look
// for a following member start a new read.
constexpr size_t INPUT_CHUNK_BYTES = 131072;
constexpr uint32_t CRASH_TREE_FILES = 200;

// A dozen files in three levels: each kind of compressed file, one of
// several windows, two members of which the first fills a read exactly, an
// empty output, and files that are left alone.
std::vector<TreeFile> sample_tree();
// CRASH_TREE_FILES small files of every kind over five directories.
std::vector<TreeFile> crash_tree();
