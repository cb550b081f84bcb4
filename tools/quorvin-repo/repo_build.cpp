#include "repo_build.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "platform/platform.h"
#include "repo_check.h"
#include "repo_layout.h"
#include "repo_manifest.h"
#include "repo_names.h"
#include "repo_report.h"
#include "repo_tree.h"
#include "rules/filelist.h"
#include "support/paths.h"
#include "support/sha256.h"
#include "zip_write.h"

namespace {

// The output folder. It may hold files of the publisher's own (an index.html,
// images/): build replaces and removes only what an earlier build wrote there
// (filelist.txt, its signature, the archives the manifest names as a build left
// them) and never touches anything else.
struct OutputFolder {
  std::string path, partial;  // as given; the staging folder beside it
  // Folded names build may replace or remove; those the manifest names that are not ours, and why.
  std::set<std::string> owned{MANIFEST_NAME, SIGNATURE_NAME};
  std::map<std::string, std::string> foreign;
  std::vector<std::string> present, kept;  // owned files there now; everything else, sorted
};

// In the staging folder, written first: the names in out that the build may
// own, so that a build stopped half-way is finished by the next one.
const char* const LEDGER = "owned.txt";

std::string manifest_text(const std::vector<ArchivePlan>& archives, const std::string& base) {
  std::string text = MANIFEST_HEADER;
  text +=
      "# v: variant (t, m, p, w; nothing: every variant), u: archive URL, h: its SHA-256,\n"
      "# d: subfolder of the install directory, e: path that exists once installed.\n";
  int group = -1;
  for (const ArchivePlan& a : archives) {
    if (a.group != group)
      text += "\n# " + std::string(variant_groups[group = a.group].caption) + "\n";
    text += "\nv:" + std::string(variant_groups[a.group].letter) + "\n";
    text += "u:" + base + a.name + "\n";
    text += "h:" + a.sha256 + "\n";
    text += "s:" + std::to_string(a.size) + "\n";
    if (!a.dest_subdir.empty()) text += "d:" + a.dest_subdir + "\n";
    text += "e:" + a.check_path + "\n";
  }
  return text;
}

// The manifest's entries meet the rules check applies, in check's words.
int check_entries(const std::vector<ArchivePlan>& archives, const std::string& base) {
  EntrySeen seen;
  std::string marker;
  int result = 0;
  for (const ArchivePlan& a : archives)
    if (entry_rules(a.folder, base + a.name, a.dest_subdir.c_str(), a.check_path.c_str(), seen,
                    marker, "rename the archive folder") != 0)
      result = -1;
  return result;
}

// Binary: LF line ends on every system; the installer folds CR LF anyway.
// say_why: name the reason a file cannot be opened.
int write_text(const std::string& path, const std::string& text, bool say_why = true) {
  FILE* out = plat_fopen(path.c_str(), "wb");
  if (!out && say_why)
    return repo_error("%s: cannot open for writing: %s", path.c_str(), std::strerror(errno));
  bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (out) ok = std::fclose(out) == 0 && ok;
  if (!ok) repo_error("%s: writing failed", path.c_str());
  return ok ? 0 : -1;
}

int write_all(const std::string& dir, std::vector<ArchivePlan>& archives, const std::string& base) {
  for (ArchivePlan& a : archives) {
    std::string path = path_join(dir, a.name);
    if (zip_write(path, a.items) != 0) return -1;
    if (sha256_file(path, &a.sha256) != 0 || plat_file_size(path.c_str(), &a.size) != 0)
      return repo_error("%s: cannot read it back for its SHA-256", path.c_str());
    repo_note("%s: %u entries from %s", a.name.c_str(), static_cast<unsigned>(a.items.size()),
              a.folder.c_str());
  }
  if (write_text(path_join(dir, MANIFEST_NAME), manifest_text(archives, base)) != 0) return -1;
  // What check would refuse is never published.
  if (repo_check_written(dir) != 0)
    return repo_error("%s: the repository just written would not pass check; nothing was replaced",
                      dir.c_str());
  return 0;
}

// The outermost folder of path that does not exist yet; empty when it does.
std::string first_missing(std::string path) {
  std::string missing;
  for (; !path.empty() && plat_path_kind(path.c_str()) == PLAT_KIND_NONE && path != missing;
       path = path_dir(path))
    missing = path;
  return missing;
}

// What a build writes: archives (folder name + ".zip"), the manifest and its
// signature. A hand-made manifest naming index.html does not make it ours.
bool ownable(const std::string& name) {
  std::string folded = fold_case(name);
  return folded == MANIFEST_NAME || folded == SIGNATURE_NAME ||
         (folded.size() > 4 && folded.compare(folded.size() - 4, 4, ".zip") == 0);
}

// What a URL can be yet not be a base for archives: the URL of a file, such as
// the manifest's (which the installer is built with), or a server's own
// listening address.
const char* base_url_refusal(const std::string& base) {
  std::string last = fold_case(url_file_name(base.substr(0, base.size() - 1).c_str()));
  if (last == MANIFEST_NAME || last == SIGNATURE_NAME)
    return "names the manifest; the base URL is the folder that holds it and the archives "
           "(without /filelist.txt)";
  if (ownable(last)) return "names an archive; the base URL is the folder that holds the archives";
  return nullptr;
}

std::string name_list(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < 5; ++i) text += (i ? ", " : "") + names[i];
  if (names.size() > 5) text += " and " + std::to_string(names.size() - 5) + " more";
  return text;
}

// Empties the staging folder of what a build puts there (its archives,
// manifest and ledger) and removes it. 0 when it is gone.
int clear_partial(const std::string& partial) {
  std::vector<std::string> names;
  plat_list_dir(partial.c_str(), names);
  for (const std::string& name : names)
    if (name == LEDGER || ownable(name)) plat_remove(path_join(partial, name).c_str());
  return plat_rmdir(partial.c_str());
}

// A staging folder left by a stopped build: its ledger tells which names in
// out are ours; it is removed when it holds nothing else.
int recover_partial(OutputFolder& f) {
  int kind = plat_path_kind(f.partial.c_str());
  if (kind == PLAT_KIND_NONE) return 0;
  if (kind != PLAT_KIND_DIR)
    return repo_error("%s: exists and is not a folder; move it away (builds are staged there)",
                      f.partial.c_str());
  std::string ledger;
  read_whole_file(path_join(f.partial, LEDGER), &ledger);
  std::istringstream lines(ledger);
  std::set<std::string> noted;
  for (std::string name; std::getline(lines, name);)
    if (ownable(name)) noted.insert(fold_case(name));
  std::vector<std::string> names;
  if (tree_list_sorted(f.partial, names) != 0) return -1;
  for (const std::string& name : names) {
    std::string path = path_join(f.partial, name);
    bool staged = noted.count(fold_case(name)) && plat_path_kind(path.c_str()) == PLAT_KIND_FILE;
    if (name != LEDGER && !staged)
      return repo_error("%s: not left there by quorvin-repo; move it away (builds are staged "
                        "in %s)", path.c_str(), f.partial.c_str());
  }
  if (clear_partial(f.partial) != 0)
    return repo_error("%s: a leftover of an earlier build that cannot be removed",
                      f.partial.c_str());
  f.owned.insert(noted.begin(), noted.end());
  repo_note("%s: cleared what a stopped build left there; this build finishes its work",
            f.partial.c_str());
  return 0;
}

// The archives of the manifest that a build left as they are.
void own_named(const std::string& out, const FileList& list, OutputFolder& f) {
  std::string text;
  read_whole_file(path_join(out, MANIFEST_NAME), &text);
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
  return repo_error("%s: cannot be replaced (in use?); run the build again to finish it",
                    to.c_str());
}

int output_prepare(const std::string& out, const std::vector<std::string>& names, OutputFolder& f) {
  f.path = out;
  f.partial = full_path(out) + ".partial";
  int kind = plat_path_kind(out.c_str());
  if (kind != PLAT_KIND_NONE && kind != PLAT_KIND_DIR)
    return repo_error("%s: exists and is not a folder", out.c_str());
  if (recover_partial(f) != 0) return -1;
  if (kind == PLAT_KIND_NONE) return 0;
  FileList list;
  int manifest = manifest_load(out, &list, true);
  if (manifest < 0)
    return repo_error("%s: so the archives of the earlier build are not known; restore that file "
                      "or move it away", path_join(out, MANIFEST_NAME).c_str());
  if (manifest == 0) own_named(out, list, f);

  std::vector<std::string> listing;
  if (tree_list_sorted(out, listing) != 0) return -1;
  for (const std::string& name : listing) {
    bool file = plat_path_kind(path_join(out, name).c_str()) == PLAT_KIND_FILE;
    if (file && f.owned.count(fold_case(name)))
      f.present.push_back(name);
    else
      f.kept.push_back(name);
  }
  if (manifest == 1 && !f.kept.empty())
    return repo_error("%s: holds %s but no %s, so it is no repository built earlier; build into a "
                      "new or empty folder (files added beside %s later are kept)", out.c_str(),
                      f.kept[0].c_str(), MANIFEST_NAME, MANIFEST_NAME);
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
    return repo_error("%s: not written by quorvin-repo (%s), and the build would replace it; move "
                      "it away or rename the archive folder", path.c_str(), why.c_str());
  }
  return 0;
}

int output_stage(const OutputFolder& f, const std::vector<std::string>& names) {
  if (plat_mkdir(f.partial.c_str()) != 0)
    return repo_error("%s: cannot create the folder", f.partial.c_str());
  std::string ledger = std::string(MANIFEST_NAME) + "\n" + SIGNATURE_NAME + "\n";
  for (const std::string& name : f.present) ledger += name + "\n";
  for (const std::string& name : names) ledger += name + "\n";
  return write_text(path_join(f.partial, LEDGER), ledger, false);
}

int output_commit(const OutputFolder& f, const std::vector<std::string>& names) {
  if (plat_path_kind(f.path.c_str()) != PLAT_KIND_DIR && plat_mkdir(f.path.c_str()) != 0)
    return repo_error("%s: cannot create the folder", f.path.c_str());
  for (const std::string& name : names)
    if (move_file(path_join(f.partial, name), path_join(f.path, name)) != 0) return -1;
  // A signature is of one manifest: it stays only with the very same bytes.
  std::string signature = path_join(f.path, SIGNATURE_NAME);
  if (plat_path_kind(signature.c_str()) == PLAT_KIND_FILE) {
    std::string before, after;
    read_whole_file(path_join(f.path, MANIFEST_NAME), &before);
    read_whole_file(path_join(f.partial, MANIFEST_NAME), &after);
    if (before != after) {
      if (plat_remove(signature.c_str()) != 0)
        return repo_error("%s: signs the previous %s and cannot be removed", signature.c_str(),
                          MANIFEST_NAME);
      repo_note("%s: removed, as it signed the previous %s; sign the new one", signature.c_str(),
                MANIFEST_NAME);
    }
  }
  if (move_file(path_join(f.partial, MANIFEST_NAME), path_join(f.path, MANIFEST_NAME)) != 0)
    return -1;
  std::set<std::string> now{MANIFEST_NAME, SIGNATURE_NAME};  // what stays
  for (const std::string& name : names) now.insert(fold_case(name));
  int result = 0;
  for (const std::string& name : f.present) {
    if (now.count(fold_case(name))) continue;
    std::string path = path_join(f.path, name);
    if (plat_remove(path.c_str()) == 0)
      repo_note("%s: removed, as %s no longer names it", path.c_str(), MANIFEST_NAME);
    else
      result = repo_error("%s: no longer named in %s and cannot be removed; run the build again "
                          "to finish it", path.c_str(), MANIFEST_NAME);
  }
  if (result == 0) clear_partial(f.partial);
  return result;
}

}  // namespace

int repo_build(const std::string& source, const std::string& out_arg, const std::string& base_arg) {
  std::string base = base_arg;
  if (base.empty() || base.back() != '/') base += '/';
  const char* why = fetchable_url_refusal(base + "archive.zip");
  if (!why) why = base_url_refusal(base);
  if (why) return repo_error("--base-url %s: %s", base_arg.c_str(), why);
  std::string out = out_arg;
  while (out.size() > 1 && is_sep(out.back())) out.pop_back();
  if (out.empty()) return repo_error("no output folder given");

  if (plat_path_kind(source.c_str()) == PLAT_KIND_DIR && path_inside(out, source))
    return repo_error("%s: lies inside the source folder %s, so the next build would pack this "
                      "repository too; build outside it", out.c_str(), source.c_str());
  if (plat_path_kind(out.c_str()) == PLAT_KIND_DIR && path_inside(source, out))
    return repo_error("%s: lies inside the output folder %s, so it would be published with the "
                      "repository; move it out", source.c_str(), out.c_str());
  std::vector<ArchivePlan> archives;
  if (layout_read(source, archives) != 0 || check_entries(archives, base) != 0) return -1;
  std::vector<std::string> names;
  for (const ArchivePlan& a : archives) names.push_back(a.name);
  OutputFolder folder;
  if (output_prepare(out, names, folder) != 0) return -1;

  std::string parent = path_dir(out), made = first_missing(parent);
  if (parent != out && !parent.empty() && make_dirs(parent) != 0)
    return repo_error("%s: cannot create the folder", parent.c_str());
  if (output_stage(folder, names) != 0 || write_all(folder.partial, archives, base) != 0) {
    clear_partial(folder.partial);
    // A failed build leaves nothing behind, not even the folders made for it.
    for (std::string at = parent; !made.empty() && plat_rmdir(at.c_str()) == 0 && at != made;)
      at = path_dir(at);
    return -1;
  }
  if (output_commit(folder, names) != 0) return -1;
  if (!folder.kept.empty())
    repo_note("%s: kept %s (not written by quorvin-repo)", out.c_str(),
              name_list(folder.kept).c_str());
  repo_note("%s: %u archives and %s", out.c_str(), static_cast<unsigned>(archives.size()),
            MANIFEST_NAME);
  return 0;
}
