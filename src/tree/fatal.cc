// The fatal path shared by the command line, the walk and the conversion.
#include "fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "deletions.h"

void fatal_error(const char* format, ...)
{
    // Progress already printed must come out before the error, in order.
    fflush(stdout);
    // Every output done so far counts as done: its compressed file goes.
    delete_queued_before_exit();
    va_list arguments;
    va_start(arguments, format);
    fputs("\nerror: ", stdout);
    vprintf(format, arguments);
    fputs("\n", stdout);
    va_end(arguments);
    fflush(stdout);
    exit(2);
}

void fatal_unexpected_error()
{
    fflush(stdout);
    delete_queued_before_exit();
    fputs("unexpected error\n", stdout);
    fflush(stdout);
    exit(2);
}
