#include "repo_check.h"

#include <unzip.h>

#include <cstdio>
#include <set>
#include <vector>

#include "rules/filelist.h"
#include "repo_sign.h"
#include "rules/signature.h"
#include "platform/platform.h"
#include "repo_fetch.h"
#include "repo_layout.h"
#include "repo_manifest.h"
#include "repo_names.h"
#include "repo_report.h"
#include "repo_tree.h"
#include "support/paths.h"
#include "support/sha256.h"
#include "rules/zip_io.h"
#include "rules/zip_scan.h"

namespace {

// An entry whose URL and local archive are good enough to fetch and compare.
struct Published {
  std::string label, url, archive;
};

// What the installer compares with h: and s:, and what one built with a key demands.
int check_hash(const std::string& archive, const FileListEntry* e, const std::string& label,
               bool signed_list) {
  if (signed_list && (!e->sha256 || !e->has_size)) {
    repo_error("%s: has no %s line, which an installer with a publisher key refuses", label.c_str(),
               e->sha256 ? "s:" : "h:");
    return -1;
  }
  uint64_t size = 0;
  if (e->has_size && plat_file_size(archive.c_str(), &size) == 0 && size != static_cast<uint64_t>(e->size)) {
    repo_error("%s: s:%lld, but %s has %llu bytes: the archive changed after the build (a copy in text "
               "mode, or an unfinished upload?); copy it again in binary mode, or build again and sign",
               label.c_str(), e->size, archive.c_str(), static_cast<unsigned long long>(size));
    return -1;
  }
  if (!e->sha256) return 0;
  std::string hex;
  if (sha256_file(archive, &hex) != 0) {
    repo_error("%s: %s cannot be read for its SHA-256", label.c_str(), archive.c_str());
    return -1;
  }
  if (hex == e->sha256) return 0;
  repo_error("%s: h:%s, but the SHA-256 of %s is %s: the archive changed after the build (a copy "
             "in text mode?); copy it again in binary mode, or build again and sign",
             label.c_str(), e->sha256, archive.c_str(), hex.c_str());
  return -1;
}

// Where a member goes, as extraction makes it: its parent folders too; '/'
// separators, "." components left out, case folded.
void add_installed(std::set<std::string>& installed, const std::string& name) {
  std::string path;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '/' && name[i] != '\\') continue;
    std::string part = name.substr(start, i - start);
    start = i + 1;
    if (part.empty() || part == ".") continue;
    path += (path.empty() ? "" : "/") + fold_name(part);
    installed.insert(path);
  }
}

// Reads the current member to its end: the CRC is checked when it is closed.
int read_member(unzFile zip, const std::string& label, const char* name, std::vector<char>& buf) {
  const char* why = nullptr;
  int n = 0;
  if (unzOpenCurrentFile(zip) != UNZ_OK) {
    why = "cannot be opened";
  } else {
    while ((n = unzReadCurrentFile(zip, buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
    }
    int closed = unzCloseCurrentFile(zip);
    if (n < 0) why = "its data is damaged";
    else if (closed != UNZ_OK) why = "CRC mismatch, its data is not what was stored";
  }
  if (why) repo_error("%s: member %s: %s", label.c_str(), name, why);
  return why ? -1 : 0;
}

// The archive as the installer takes it: its opening pass, with the shortest
// install directory a user can pick (a path too long there is too long for
// everyone), then every member read whole. Fills installed with every path
// that extraction makes.
int check_archive(const std::string& archive, const std::string& label, const std::string& d,
                  std::set<std::string>& installed) {
  zlib_filefunc64_def io;
  zip_read_functions(&io);
  unzFile zip = unzOpen2_64(archive.c_str(), &io);
  unz_global_info64 global;
  if (!zip || unzGetGlobalInfo64(zip, &global) != UNZ_OK) {
    if (zip) unzClose(zip);
    repo_error("%s: not a readable zip archive", label.c_str());
    return -1;
  }
  std::string destination = "C:\\" + d;
  ZipScan scan = zip_scan(zip, archive.c_str(), global.number_entry, destination);
  int result = 0;
  if (scan.refusal != ZIP_GOOD) {
    repo_error("%s: %s", label.c_str(), scan.reason.c_str());
    result = -1;
  }
  std::vector<char> name(257), buf(1 << 16);
  int at = result == 0 ? unzGoToFirstFile(zip) : UNZ_END_OF_LIST_OF_FILE;
  for (; at == UNZ_OK; at = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, name.data(), name.size(), nullptr, 0, nullptr, 0) != UNZ_OK)
      break;
    std::string member;
    if (zip_entry_name(zip, info, name.data(), member) != 0) break;  // the opening pass refused it
    if (zip_entry_is_folder(info, member) || read_member(zip, label, member.c_str(), buf) == 0)
      add_installed(installed, member);
    else
      result = -1;
  }
  unzClose(zip);
  return result;
}

int check_entry(const std::string& dir, const FileListEntry* e, int index, EntrySeen& seen,
                std::vector<Published>& published, std::set<std::string>& named, bool signed_list) {
  char label_buf[64];
  // Named with the manifest line of its "v:", as the parser's refusals are.
  std::string line = "line " + std::to_string(e->line);
  std::snprintf(label_buf, sizeof label_buf, "entry %d (v: %s, %s)", index,
                e->variant < 0 ? "every variant" : variant_groups[e->variant + 1].caption,
                line.c_str());
  std::string label = label_buf;
  if (!e->url) {
    repo_error("%s: has no u: line", label.c_str());
    return -1;
  }
  std::string url = e->url;
  if (url.find('/') == std::string::npos) {
    repo_error("%s: u:%s holds no '/' and so names no archive", label.c_str(), url.c_str());
    return -1;
  }
  std::string name = url_file_name(url.c_str());
  named.insert(fold_case(name));
  label = "entry " + std::to_string(index) + " (" + name + ", " + line + ")";
  std::string marker;
  int result = entry_rules(label, url, e->dest_subdir, e->check_path, seen, marker);
  if (result != 0 && published_name_refusal(name)) return -1;

  std::string archive = path_join(dir, name);
  int kind = plat_path_kind(archive.c_str());
  if (kind != PLAT_KIND_FILE) {
    repo_error("%s: %s %s", label.c_str(), archive.c_str(),
               kind == PLAT_KIND_NONE ? "is missing" : "is not a file");
    return -1;
  }
  if (check_hash(archive, e, label, signed_list) != 0) result = -1;
  std::set<std::string> installed;
  std::string d = e->dest_subdir ? e->dest_subdir : "";
  if (check_archive(archive, label, d, installed) != 0) return -1;
  if (!marker.empty()) {
    std::string prefix = fold_case(normal_rel_path(d));
    std::string rel;
    if (prefix.empty())
      rel = marker;
    else if (marker.compare(0, prefix.size() + 1, prefix + "/") == 0)
      rel = marker.substr(prefix.size() + 1);
    if (rel.empty() || !installed.count(rel)) {
      repo_error("%s: e:%s is not installed by the archive (it installs into %s)", label.c_str(),
                 e->check_path, d.empty() ? "the install directory" : ("d:" + d).c_str());
      result = -1;
    }
  }
  if (!fetchable_url_refusal(url)) published.push_back({label, url, archive});
  return result;
}

// Every entry of the loaded manifest; -1 after a message for each refused.
int check_entries(const std::string& dir, const FileList& list, std::vector<Published>& published,
                  std::set<std::string>& named, bool signed_list) {
  std::string manifest = path_join(dir, MANIFEST_NAME);
  if (!list.head) {
    repo_error("%s: lists no archives", manifest.c_str());
    return -1;
  }
  EntrySeen seen;
  int result = 0, index = 0;
  for (const FileListEntry* e = list.head; e; e = e->next)
    if (check_entry(dir, e, ++index, seen, published, named, signed_list) != 0) result = -1;
  return result;
}

// Everything else in the folder is never fetched: often a forgotten old
// archive, or a file meant to be listed.
void warn_unnamed(const std::string& dir, std::set<std::string> named) {
  named.insert(MANIFEST_NAME);
  named.insert(SIGNATURE_NAME);
  std::vector<std::string> names;
  if (tree_list_sorted(dir, names) != 0) return;
  for (const std::string& name : names)
    if (!named.count(fold_case(name)))
      repo_warning("%s: not named in %s, so the installer never fetches it",
                   path_join(dir, name).c_str(), MANIFEST_NAME);
}

// The archives, and the manifest too when it sits in the archives' folder on
// the server (where a stale one is the likeliest mistake).
int fetch_all(const std::string& dir, const std::vector<Published>& published) {
  int result = 0;
  fetch_begin();
  for (const Published& p : published)
    if (fetch_compare(p.label, p.url, p.archive) != 0) result = -1;
  const std::string& first = published[0].url;
  std::string folder = first.substr(0, first.rfind('/') + 1);
  for (const Published& p : published)
    if (p.url.compare(0, folder.size(), folder) != 0 ||
        p.url.find('/', folder.size()) != std::string::npos)
      folder.clear();
  if (!folder.empty()) {
    std::string url = folder + MANIFEST_NAME;
    std::string local = path_join(dir, MANIFEST_NAME);
    int got = fetch_compare(local, url, local, true);
    if (got < 0) result = -1;
    if (got == 0) repo_note("%s: the same as %s", url.c_str(), local.c_str());
    // An installer with the publisher's key fetches the signature from beside
    // the manifest: a stale or missing one there fails every run.
    std::string signature = path_join(dir, SIGNATURE_NAME);
    if (got != 1 && plat_path_kind(signature.c_str()) == PLAT_KIND_FILE) {
      if (fetch_compare(signature, folder + SIGNATURE_NAME, signature) == 0)
        repo_note("%s%s: the same as %s", folder.c_str(), SIGNATURE_NAME, signature.c_str());
      else
        result = -1;
    }
  }
  fetch_end();
  if (result == 0)
    repo_note("fetched %u archives, each the same as its local copy",
              static_cast<unsigned>(published.size()));
  return result;
}

// The likeliest slip behind a key file that is not a public key.
std::string key_hint(const std::string& key_path) {
  PublisherKey key;
  std::string why;
  if (plat_path_kind(key_path.c_str()) == PLAT_KIND_NONE &&
      publisher_key_parse(key_path, &key, &why) == 0)
    return " (that is the key itself; give the file that holds it, e.g. --key minisign.pub)";
  std::string head;
  read_whole_file(key_path, &head, 80);
  if (head.find("secret key") != std::string::npos)
    return " (that is the secret key; give its public key file, minisign.pub, and never "
           "publish the secret one)";
  return std::string();
}

// What to do about a signature the installer would refuse.
std::string signature_fix(SignatureVerdict verdict, const std::string& manifest,
                          const std::string& key_path) {
  std::string sign = "quorvin-repo sign " + path_dir(manifest) + " --key <your secret key>", text;
  read_whole_file(manifest, &text, 1 << 20);
  if (verdict == SIGNATURE_OTHER_KEY)
    return " (sign it with the secret key of " + key_path + ": " + sign +
           "; or give --key the public key of the secret key you signed with)";
  // The text as signed has LF line ends (as build writes them); a copy in
  // text mode turns them into CR LF and the signature no longer matches.
  if (verdict == SIGNATURE_NO_MATCH && text.find("\r\n") != std::string::npos)
    return " (it has CR LF line ends, which build never writes: a copy in text mode changed it; "
           "copy it again in binary mode, or sign it again: " + sign + ")";
  return " (sign it with: " + sign + ")";
}

// The signature beside the manifest, checked as the installer checks it.
int check_signature(const std::string& manifest, const std::string& key_path) {
  PublisherKey key;
  std::string text;
  if (publisher_key_read(key_path, &key, &text) != 0) {
    repo_error("--key %s%s", text.c_str(), key_hint(key_path).c_str());
    return -1;
  }
  std::string comment, dates;
  SignatureVerdict verdict = signature_check(manifest, manifest + ".minisig", {key}, &text, &comment);
  if (verdict != SIGNATURE_GOOD) {
    repo_error("%s%s", text.c_str(), signature_fix(verdict, manifest, key_path).c_str());
    return -1;
  }
  repo_note("%s", text.c_str());
  if (repo_judge_dates(comment, &dates) != 0) return repo_error("%s.minisig: %s", manifest.c_str(), dates.c_str());
  repo_note("%s.minisig: %s", manifest.c_str(), dates.c_str());
  return 0;
}

}  // namespace

int repo_check_written(const std::string& dir) {
  std::vector<Published> published;
  std::set<std::string> named;
  FileList list;
  if (manifest_load(dir, &list) != 0) return -1;
  return check_entries(dir, list, published, named, false);
}

int repo_check(const std::string& dir, bool fetch, const std::string& key_path) {
  std::vector<Published> published;
  std::set<std::string> named;
  bool signed_list = !key_path.empty();
  int signature = signed_list ? check_signature(path_join(dir, MANIFEST_NAME), key_path) : 0;
  FileList list;
  if (manifest_load(dir, &list) != 0) return -1;
  int result = check_entries(dir, list, published, named, signed_list);
  if (signature != 0) result = -1;
  std::string signature_path = path_join(dir, SIGNATURE_NAME);
  if (!signed_list && plat_path_kind(signature_path.c_str()) == PLAT_KIND_FILE)
    repo_note("%s: not checked; give --key minisign.pub to check it as an installer with that key "
              "will", signature_path.c_str());
  if (result == 0)
    repo_note("%s: %u entries, all archives good", path_join(dir, MANIFEST_NAME).c_str(),
              static_cast<unsigned>(published.size()));
  warn_unnamed(dir, named);
  if (fetch && !published.empty() && fetch_all(dir, published) != 0) result = -1;
  return result;
}
