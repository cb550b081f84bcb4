// Signing the manifest, and what its signature says of its age.
#pragma once

#include <string>

// Signs DIR/filelist.txt with Debian's minisign and the secret key at
// key_path, the trusted comment giving the time of signing and the expiry
// expires_days later. 0, or -1 after a message.
int repo_sign(const std::string& dir, const std::string& key_path, int expires_days);
// "--expires" values: "90d" or "90" (days, 1 to 3650). Days, or -1.
int repo_expiry_days(const std::string& text);

// The dates of a trusted comment judged as the installer judges them (all but
// the replay of an older list, which only an installer's own history tells):
// 0 with *text saying when it was signed and until when it is taken, or -1
// with *text saying why an installer refuses it.
int repo_judge_dates(const std::string& comment, std::string* text);
// The trusted comment of a signature file as written, unverified; "" when none.
std::string repo_trusted_comment(const std::string& sig_path);
