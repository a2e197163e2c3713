#ifndef PASSHASH_READ_PASSPHRASE_H
#define PASSHASH_READ_PASSPHRASE_H

#include <signal.h>

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
// prompt, and only what is typed after it; a SIGCONT alone, or a wait cut
// short with no stop (the freezer, a tracer), changes nothing. In the
// background nothing is shown or read. The line is read from the descriptor
// itself, so no stdio buffer holds a copy and, from a pipe or a file, nothing
// past the newline is consumed.
//
// Every signal that would end the process and that the caller neither ignores
// nor blocks is in `held` on return, and blocked: one that came during the
// read at a terminal, or since the line was read, waits for
// end_if_signalled().
bool read_passphrase(const char *prompt, std::span<char> line, sigset_t &held);

// Ends the process by a signal of `held` that came, as it would have ended it
// had it not been held; otherwise lets them in again. Called once the
// passphrase is erased and before anything of it is printed.
void end_if_signalled(const sigset_t &held);

#endif
