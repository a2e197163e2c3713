#ifndef PASSHASH_CONFINE_H
#define PASSHASH_CONFINE_H

// From here to its exit, the process may make only the system calls that its
// job needs: read the passphrase from standard input (at a terminal too, with
// its signals and job control), hash it, write the result and end. Any other
// call fails with EPERM, never kills, so that a fault in the tool or in a
// library it loads can open no file, make no connection, run no program and
// touch no other process, and fails cleanly instead. no_new_privs is set
// first, as the kernel wants it for a filter from a process without
// privileges. Where the kernel or a launcher (valgrind, qemu-user) cannot take
// the filter, nothing changes; a refusal is never reported.
void confine();

#endif
