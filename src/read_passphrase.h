#ifndef PASSHASH_READ_PASSPHRASE_H
#define PASSHASH_READ_PASSPHRASE_H

#include <span>

// Prints `prompt` on standard output, reads one line from standard input into
// `line` (NUL-terminated, without its newline) and then prints a newline, since
// the user's Enter was not echoed. True when a passphrase was read: a line that
// is not empty and fits in `line` whole.
//
// At a terminal, echo is off only while the line is read, and the terminal is
// put back exactly as it was before the first read. A job-control stop puts it
// back for as long as the process is stopped; back in the foreground, the
// prompt is shown again and the line read afresh. A signal that would end the
// process ends it by that same signal, with the terminal put back and `line`
// erased first. The line is read from the descriptor itself, so no stdio buffer
// holds a copy and nothing past the newline is consumed.
bool read_passphrase(const char *prompt, std::span<char> line);

#endif
