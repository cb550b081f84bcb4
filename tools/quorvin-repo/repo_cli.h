// The command line of quorvin-repo.
#pragma once

// Runs one command: 0 done, 1 a problem was found (reported), 2 the command
// line itself was wrong.
int repo_main(int argc, char** argv);
