// The run's one way to end on an error: the progress already printed comes
// out first; the compressed files whose outputs are done are deleted, as
// they would have been at once (deletions.h); then the message, on standard
// output, and the process exits with status 2. Nothing is rolled back;
// files still open are left to the process exit.
#pragma once

// Prints "\nerror: ", the formatted text and "\n", then exits with status 2.
[[noreturn]] void fatal_error(const char* format, ...);
// Prints "unexpected error\n" (a directory that exists could not be opened
// or listed, or its listing broke off), then exits with status 2.
[[noreturn]] void fatal_unexpected_error();
