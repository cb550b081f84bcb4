// The install plan: which archives of the entry list to download and which to
// extract, from the wizard's choices and what is already on disk.
#pragma once

// Fills local_path, installed, archive_exists, download and extract of every
// entry and logs each decision. Changes nothing on disk. -1 (with a log line)
// when an entry lacks what the run needs of it; then nothing is planned.
int plan_build();
