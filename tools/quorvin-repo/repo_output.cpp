#include "repo_output.h"

#include <cstdio>
#include <cstring>

#include "rules/filelist.h"
#include "platform/platform.h"
#include "repo_manifest.h"
#include "repo_names.h"
#include "repo_report.h"
#include "repo_tree.h"
#include "support/paths.h"
#include "support/sha256.h"

namespace {

// In the staging folder: the names build may own in out, written first.
const char* const LEDGER = "owned.txt";

// What a build writes: archives (folder name + ".zip"), the manifest and its
// signature. A hand-made manifest naming index.html does not make it ours.
bool ownable(const std::string& name) {
  std::string folded = fold_case(name);
  return folded == MANIFEST_NAME || folded == SIGNATURE_NAME ||
         (folded.size() > 4 && folded.compare(folded.size() - 4, 4, ".zip") == 0);
}

int read_bytes(const std::string& path, std::string& bytes) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return -1;
  char buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) bytes.append(buf, n);
  std::fclose(in);
  return 0;
}

// A staging folder left by a stopped build: its note tells which names in out
// are ours; it is removed when it holds nothing else.
int recover_partial(OutputFolder& f) {
  int kind = plat_path_kind(f.partial.c_str());
  if (kind == PLAT_KIND_NONE) return 0;
  if (kind != PLAT_KIND_DIR) {
    repo_error("%s: exists and is not a folder; move it away (builds are staged there)",
               f.partial.c_str());
    return -1;
  }
  std::set<std::string> noted;
  std::string ledger;
  if (read_bytes(path_join(f.partial, LEDGER), ledger) == 0) {
    size_t start = 0;
    while (start < ledger.size()) {
      size_t end = ledger.find('\n', start);
      if (end == std::string::npos) end = ledger.size();
      std::string name = ledger.substr(start, end - start);
      if (ownable(name)) noted.insert(fold_case(name));
      start = end + 1;
    }
  }
  std::vector<std::string> names;
  if (tree_list_sorted(f.partial, names) != 0) return -1;
  for (const std::string& name : names) {
    std::string path = path_join(f.partial, name);
    bool staged = noted.count(fold_case(name)) && plat_path_kind(path.c_str()) == PLAT_KIND_FILE;
    if (name != LEDGER && !staged) {
      repo_error("%s: not left there by quorvin-repo; move it away (builds are staged in %s)",
                 path.c_str(), f.partial.c_str());
      return -1;
    }
  }
  for (const std::string& name : names)
    if (name != LEDGER) plat_remove(path_join(f.partial, name).c_str());
  plat_remove(path_join(f.partial, LEDGER).c_str());
  if (plat_rmdir(f.partial.c_str()) != 0) {
    repo_error("%s: a leftover of an earlier build that cannot be removed", f.partial.c_str());
    return -1;
  }
  f.owned.insert(noted.begin(), noted.end());
  repo_note("%s: cleared what a stopped build left there; this build finishes its work",
            f.partial.c_str());
  return 0;
}

// The archives of the manifest that a build left as they are.
void own_named(const std::string& out, const FileList& list, OutputFolder& f) {
  std::string text;
  read_bytes(path_join(out, MANIFEST_NAME), text);
  bool by_build = text.compare(0, std::strlen(MANIFEST_HEADER), MANIFEST_HEADER) == 0;
  bool hashed = false;
  for (const FileListEntry* e = list.head; e; e = e->next) hashed = hashed || e->sha256;
  for (const FileListEntry* e = list.head; e; e = e->next) {
    if (!e->url || !ownable(url_file_name(e->url))) continue;
    std::string name = fold_case(url_file_name(e->url));
    std::string path = path_join(out, url_file_name(e->url)), hex;
    if (e->sha256) {
      if (plat_path_kind(path.c_str()) != PLAT_KIND_FILE ||
          (sha256_file(path, &hex) == 0 && hex == e->sha256))
        f.owned.insert(name);
      else
        f.foreign[name] = std::string("changed since a build wrote it: its SHA-256 is not the h: "
                                      "of ") + MANIFEST_NAME;
    } else if (by_build && !hashed) {
      f.owned.insert(name);
    } else {
      f.foreign[name] =
          std::string(MANIFEST_NAME) + " names it without h:, so it was added by hand";
    }
  }
}

int move_file(const std::string& from, const std::string& to) {
  if (plat_rename_replace(from.c_str(), to.c_str()) == 0) return 0;
  repo_error("%s: cannot be replaced (in use?); run the build again to finish it", to.c_str());
  return -1;
}

}  // namespace

int output_prepare(const std::string& out, const std::vector<std::string>& names, OutputFolder& f) {
  f = OutputFolder();
  f.path = out;
  f.partial = full_path(out) + ".partial";
  int kind = plat_path_kind(out.c_str());
  if (kind != PLAT_KIND_NONE && kind != PLAT_KIND_DIR) {
    repo_error("%s: exists and is not a folder", out.c_str());
    return -1;
  }
  f.exists = kind == PLAT_KIND_DIR;
  if (recover_partial(f) != 0) return -1;
  if (!f.exists) return 0;

  FileList list;
  int manifest = manifest_load(out, &list, true);
  if (manifest < 0) {
    repo_error("%s: so the archives of the earlier build are not known; restore that file or move "
               "it away", path_join(out, MANIFEST_NAME).c_str());
    return -1;
  }
  if (manifest == 0) own_named(out, list, f);
  f.owned.insert(MANIFEST_NAME);
  f.owned.insert(SIGNATURE_NAME);

  std::vector<std::string> listing;
  if (tree_list_sorted(out, listing) != 0) return -1;
  for (const std::string& name : listing) {
    bool file = plat_path_kind(path_join(out, name).c_str()) == PLAT_KIND_FILE;
    if (file && f.owned.count(fold_case(name)))
      f.present.push_back(name);
    else
      f.kept.push_back(name);
  }
  if (manifest == 1 && !f.kept.empty()) {
    repo_error("%s: holds %s but no %s, so it is no repository built earlier; build into a new or "
               "empty folder (files added beside %s later are kept)", out.c_str(),
               f.kept[0].c_str(), MANIFEST_NAME, MANIFEST_NAME);
    return -1;
  }
  std::vector<std::string> written = names;
  written.push_back(MANIFEST_NAME);
  for (const std::string& name : written) {
    std::string path = path_join(out, name);
    int there = plat_path_kind(path.c_str());
    if (there == PLAT_KIND_NONE || (there == PLAT_KIND_FILE && f.owned.count(fold_case(name))))
      continue;
    auto foreign = f.foreign.find(fold_case(name));
    std::string why = foreign != f.foreign.end() ? foreign->second
                                                 : std::string(MANIFEST_NAME) + " does not name it";
    repo_error("%s: not written by quorvin-repo (%s), and the build would replace it; move it "
               "away or rename the archive folder", path.c_str(), why.c_str());
    return -1;
  }
  return 0;
}

int output_stage(const OutputFolder& f, const std::vector<std::string>& names) {
  if (plat_mkdir(f.partial.c_str()) != 0) {
    repo_error("%s: cannot create the folder", f.partial.c_str());
    return -1;
  }
  std::string ledger = std::string(MANIFEST_NAME) + "\n" + SIGNATURE_NAME + "\n";
  for (const std::string& name : f.present) ledger += name + "\n";
  for (const std::string& name : names) ledger += name + "\n";
  std::string path = path_join(f.partial, LEDGER);
  FILE* out = std::fopen(path.c_str(), "wb");
  bool ok = out && std::fwrite(ledger.data(), 1, ledger.size(), out) == ledger.size();
  if (out) ok = std::fclose(out) == 0 && ok;
  if (!ok) repo_error("%s: writing failed", path.c_str());
  return ok ? 0 : -1;
}

int output_commit(const OutputFolder& f, const std::vector<std::string>& names) {
  if (!f.exists && plat_mkdir(f.path.c_str()) != 0) {
    repo_error("%s: cannot create the folder", f.path.c_str());
    return -1;
  }
  for (const std::string& name : names)
    if (move_file(path_join(f.partial, name), path_join(f.path, name)) != 0) return -1;
  // A signature is of one manifest: it stays only with the very same bytes.
  std::string signature = path_join(f.path, SIGNATURE_NAME);
  if (plat_path_kind(signature.c_str()) == PLAT_KIND_FILE) {
    std::string before, after;
    read_bytes(path_join(f.path, MANIFEST_NAME), before);
    read_bytes(path_join(f.partial, MANIFEST_NAME), after);
    if (before != after) {
      if (plat_remove(signature.c_str()) != 0) {
        repo_error("%s: signs the previous %s and cannot be removed", signature.c_str(),
                   MANIFEST_NAME);
        return -1;
      }
      repo_note("%s: removed, as it signed the previous %s; sign the new one", signature.c_str(),
                MANIFEST_NAME);
    }
  }
  if (move_file(path_join(f.partial, MANIFEST_NAME), path_join(f.path, MANIFEST_NAME)) != 0)
    return -1;
  std::set<std::string> now;
  for (const std::string& name : names) now.insert(fold_case(name));
  int result = 0;
  for (const std::string& name : f.present) {
    std::string folded = fold_case(name);
    if (folded == MANIFEST_NAME || folded == SIGNATURE_NAME || now.count(folded)) continue;
    std::string path = path_join(f.path, name);
    if (plat_remove(path.c_str()) == 0) {
      repo_note("%s: removed, as %s no longer names it", path.c_str(), MANIFEST_NAME);
    } else {
      repo_error("%s: no longer named in %s and cannot be removed; run the build again to finish "
                 "it", path.c_str(), MANIFEST_NAME);
      result = -1;
    }
  }
  if (result == 0) output_discard(f);
  return result;
}

void output_discard(const OutputFolder& f) {
  std::vector<std::string> names;
  if (plat_list_dir(f.partial.c_str(), names) != 0) return;
  // Only what this build staged there: its archives, manifest and note.
  for (const std::string& name : names)
    if (name == LEDGER || ownable(name)) plat_remove(path_join(f.partial, name).c_str());
  plat_rmdir(f.partial.c_str());
}
