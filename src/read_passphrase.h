#ifndef PASSHASH_READ_PASSPHRASE_H
#define PASSHASH_READ_PASSPHRASE_H

#include <span>

// Prints `prompt` on standard output, reads one line from standard input into
// `line` (NUL-terminated, without its newline) and then prints a newline, since
// the user's Enter was not echoed. True when a passphrase was read: a line that
// is not empty and fits in `line` whole.
//
// At a terminal, echo goes off before the prompt is shown, and whenever the
// terminal is handed back (after the line, before a job-control stop, before
// the process ends by a signal) what is left in its input queue is discarded
// and it is put back exactly as it was before the first read. After a stop
// (SIGSTOP included) the read starts over in the foreground: echo off, the
// prompt, and only what is typed after it; a SIGCONT alone that finds it
// waiting for input changes nothing. In the background nothing is shown or
// read. A signal that would end the process ends it by that same signal,
// `line` erased first. The line is read from the descriptor itself, so no stdio
// buffer holds a copy and, from a pipe or a file, nothing past the newline is
// consumed.
bool read_passphrase(const char *prompt, std::span<char> line);

#endif
