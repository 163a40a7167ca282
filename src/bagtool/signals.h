// How every command of the bag tool ends on a stop signal: the first SIGINT,
// SIGTERM or SIGHUP (and SIGPIPE, where asked) is only noted, the command
// checks for it between its steps, removes what it had not finished, prints
// one line and exits with 128 + the signal (130 for SIGINT, 143 for SIGTERM).
// A second signal ends the process at once, after removing the temporary
// files registered here and putting the terminal back.
#pragma once

#include <string>

namespace rnr::bagtool {

// Installs the handlers (also over a SIG_IGN inherited by a background job,
// so that `kill -INT` ends it too). With `pipe`, SIGPIPE is one of them;
// otherwise a closed pipe ends the process silently, as usual.
void install_stop_signals(bool pipe);

// The signal that asked the run to stop, 0 while none came.
int stop_signal();

// "quorvin-rnr-bag: COMMAND: interrupted by SIGINT[; OUT not written]" on
// standard error; returns 128 + the signal.
int report_stop(const std::string& command, const std::string& not_written = "");

// The table of temporary files the second signal removes (async-signal-safe
// reads). A slot for a path, or -1 when the table is full or the path too
// long; release it once the file is renamed or removed.
int register_temporary(const std::string& path);
void release_temporary(int slot);

// The temporary-file name token of this process: its pid, the machine's boot
// id and the process's start time, so that a later run can tell a file of a
// process that is gone (or of a reused pid) from one of a live run.
const std::string& temporary_token();

// Removes in `directory` the temporary files (and their SQLite journals)
// that this tool's runs left when they were killed: only files of this user
// whose token names a process that no longer runs. Errors are ignored.
void remove_stale_temporaries(const std::string& directory);

}  // namespace rnr::bagtool
