// The output folder of a build. It may hold files of the publisher's own (an
// index.html, images/): build replaces and removes only what an earlier build
// wrote there (filelist.txt, its signature, the archives the manifest names as
// a build left them) and never touches anything else.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

struct OutputFolder {
  std::string path;                 // as given
  std::string partial;              // the staging folder beside it
  bool exists = false;
  std::set<std::string> owned;      // folded names build may replace or remove
  std::vector<std::string> present; // owned names that are there now
  std::vector<std::string> kept;    // everything else there, sorted
  std::map<std::string, std::string> foreign;  // folded names the manifest names, not ours: why
};

// Looks at out before a build that writes the archives names: what earlier
// builds wrote (its manifest, and the note of a build that was stopped), what
// is the publisher's. A named archive is a build's only with the content its
// h: gives, or without h: in a manifest of a build from before h: (one added
// to the manifest by hand, or changed since, is the publisher's). Refuses a folder that is not a repository but holds
// files, and an archive that would replace a file build did not write.
// 0, or -1 after a message naming the file.
int output_prepare(const std::string& out, const std::vector<std::string>& names, OutputFolder& f);
// Makes the staging folder and notes in it every name build may own, so that
// a build stopped half-way is finished by the next one. 0, or -1.
int output_stage(const OutputFolder& f, const std::vector<std::string>& names);
// Moves the staged archives and then the manifest into out, removes a
// signature of another manifest and the archives no longer named. 0, or -1
// (the staging folder then stays for the next build).
int output_commit(const OutputFolder& f, const std::vector<std::string>& names);
// Removes the staging folder of a build that failed before its commit.
void output_discard(const OutputFolder& f);
