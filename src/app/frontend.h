// The command line: commands, options, usage texts, and the entry that reads
// it and runs the command's driver.
#pragma once

#include "app/config.h"

// Reads the command word, the options and the positional arguments into
// `config`. True when the command is to be run; false when a usage text or an
// argument error has been printed, in which case the process exits with 0.
bool app_read_command_line(int argc, char** argv, app_config* config);

// Everything `main` does: installs the signal handler, reads the command line,
// creates the module logger and runs the command. Returns the exit status.
int app_main(int argc, char** argv);
