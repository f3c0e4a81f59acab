#include "claude_files/folders.h"
#include "claude_files/index_parts.h"
#include "claude_files/live.h"
#include "platform/files.h"
#include "platform/watch.h"

#include <algorithm>
#include <fcntl.h>

// Looking at the folders: every file on a full look, else only those the watch names.

namespace claude_files {

void Index::lookAtChanges() {
  auto now = std::chrono::steady_clock::now();
  bool first = m_fullLookAt == std::chrono::steady_clock::time_point{};
  if (first && m_options.watch) {
    m_watch = platform::FolderWatch::open();
  }
  bool lost = false;
  std::vector<platform::FolderChange> changes;
  if (m_watch) {
    changes = m_watch->take(&lost);
  }
  if (!m_watch || lost || first || m_projectsMissing || now - m_fullLookAt >= FULL_LOOK_EVERY) {
    m_fullLookAt = now;
    lookBelow(m_projects);
    // Nothing watches a folder that is not there yet: look for it at each refresh until it is.
    m_projectsMissing = !platform::isDirectory(m_projects);
    if (first && m_stored) {
      // Rows of files that are gone since the last run.
      for (const auto& [path, row] : *m_stored) {
        if (m_files.count(path) == 0) {
          m_gone.push_back(path);
        }
      }
    }
    return;
  }
  std::set<std::string> folders, files;
  for (const platform::FolderChange& c : changes) {
    std::string path = c.name.empty() ? c.folder : c.folder + "/" + c.name;
    if (c.isFolder || c.name.empty()) {
      folders.insert(path);
    } else if (endsWith(c.name, ".jsonl")) {
      files.insert(path);
    } else if (endsWith(c.name, ".meta.json")) {
      std::string transcript = path.substr(0, path.size() - 10) + ".jsonl";
      if (auto it = m_files.find(transcript); it != m_files.end() && !it->second.state.main) {
        std::string agent = agentName(transcript);
        it->second.state.named = agent != fileStem(transcript);
        it->second.state.relabel(agent);
        Session& s = m_sessions[it->second.sessionKey];
        s.dirty = true;
        if (s.loaded) {
          m_touched.insert(it->second.sessionKey);
        }
      }
    }
  }
  if (!m_watch->seesAppends()) {
    // The files being written are the live sessions': looked at on every refresh.
    std::set<std::string> liveIds;
    for (const LiveSession& l : m_live) {
      liveIds.insert(l.sessionId);
    }
    for (const auto& [key, session] : m_sessions) {
      if (liveIds.count(idOf(key)) != 0) {
        folders.insert(m_projects + "/" + key);
        files.insert(session.paths.begin(), session.paths.end());
      }
    }
  }
  for (const std::string& folder : folders) {
    lookBelow(folder);
  }
  for (const std::string& path : files) {
    lookAt(path, AT_FDCWD, path);
  }
}

void Index::lookFor(const Need& need) {
  uint64_t walk = ++m_walks;
  // Whole ids name their files; a prefix is matched against the names of each project folder.
  std::set<std::string> exact;
  std::vector<std::string> prefixes;
  for (const LiveSession& l : m_live) {
    exact.insert(l.sessionId);
  }
  for (const auto& [key, s] : m_sessions) {
    if (s.loaded) {
      exact.insert(idOf(key));  // kept current while read
    }
  }
  for (const std::string& p : need.idPrefixes) {
    if (isSessionId(p)) {
      exact.insert(p);
    } else if (!p.empty()) {
      prefixes.push_back(p);
    }
  }
  std::erase_if(exact, [](const std::string& id) {
    return id.empty() || id.find('/') != std::string::npos || id.front() == '.';
  });
  auto byPrefix = [&](const std::string& id) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](const std::string& p) { return id.starts_with(p); });
  };
  auto seen = [&](const std::string& path) {
    if (auto it = m_files.find(path); it != m_files.end()) {
      it->second.lookedAt = walk;
    }
  };
  Listing projects = listFolder(AT_FDCWD, m_projects);
  for (const FolderEntry& project : projects.entries) {
    std::string folder = m_projects + "/" + project.name;
    if (!project.folder || (exact.empty() && prefixes.empty())) {
      continue;
    }
    std::set<std::string> sessionFolders;
    if (!prefixes.empty()) {
      Listing listing = listFolder(projects.fd(), project.name);
      for (const FolderEntry& e : listing.entries) {
        std::string id = e.folder ? e.name : fileStem(e.name);
        if (!byPrefix(id) || exact.count(id) != 0) {
          continue;
        }
        if (e.folder) {
          sessionFolders.insert(e.name);
        } else if (endsWith(e.name, ".jsonl")) {
          lookAt(folder + "/" + e.name, listing.fd(), e.name);
          seen(folder + "/" + e.name);
        }
      }
    }
    for (const std::string& id : exact) {
      std::string name = project.name + "/" + id + ".jsonl";
      lookAt(m_projects + "/" + name, projects.fd(), name);
      seen(m_projects + "/" + name);
      struct stat st {};
      if (::fstatat(projects.fd(), (project.name + "/" + id).c_str(), &st, AT_SYMLINK_NOFOLLOW) ==
              0 &&
          S_ISDIR(st.st_mode)) {
        sessionFolders.insert(id);
      }
    }
    for (const std::string& id : sessionFolders) {
      lookBelow(folder + "/" + id);  // its subagents
    }
  }
  // Files of these sessions found before and not now are gone.
  std::vector<std::string> gone;
  for (const auto& [path, f] : m_files) {
    std::string id = idOf(f.sessionKey);
    if (f.lookedAt < walk && (exact.count(id) != 0 || byPrefix(id))) {
      gone.push_back(path);
    }
  }
  for (const std::string& path : gone) {
    forget(path);
  }
}

void Index::lookBelow(const std::string& folder) {
  if (folder != m_projects && folder.compare(0, m_projects.size() + 1, m_projects + "/") != 0) {
    return;
  }
  uint64_t walk = ++m_walks;
  // Depth below projects/: 0 projects, 1 a project folder, 2 a session's, 3+ its subagents.
  auto walkFolder = [&](auto& self, const std::string& path, int depth) -> void {
    Listing listing = listFolder(AT_FDCWD, path);
    if (!listing.dir) {
      return;
    }
    // A watch that misses appends gets the folders where files come and go only, which are few.
    bool wanted = m_watch && (m_watch->seesAppends() || depth <= 1);
    if (wanted && !m_watch->add(path)) {
      m_watch.reset();  // at the OS's limit: look at every file from now on
    }
    for (const FolderEntry& e : listing.entries) {
      std::string child = path + "/" + e.name;
      if (e.folder) {
        bool descend = depth <= 1 || (depth == 2 && e.name == "subagents") ||
                       (depth >= 3 && depth < 3 + SUBAGENT_DEPTH);
        if (descend) {
          self(self, child, depth + 1);
        }
      } else if ((depth == 1 || depth >= 3) && endsWith(e.name, ".jsonl")) {
        lookAt(child, listing.fd(), e.name);
        if (auto it = m_files.find(child); it != m_files.end()) {
          it->second.lookedAt = walk;
        }
      }
    }
  };
  std::string relative =
      folder.size() > m_projects.size() ? folder.substr(m_projects.size() + 1) : "";
  int depth = relative.empty()
                  ? 0
                  : 1 + static_cast<int>(std::count(relative.begin(), relative.end(), '/'));
  size_t second = relative.find('/', relative.find('/') + 1);
  if (depth >= 3 && relative.compare(second + 1, 10, "subagents/") != 0 &&
      relative.substr(second + 1) != "subagents") {
    return;  // beside a session's subagents: nothing of ours
  }
  walkFolder(walkFolder, folder, depth);
  std::string prefix = folder + "/";
  std::vector<std::string> missing;
  for (auto it = m_files.lower_bound(prefix);
       it != m_files.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    if (it->second.lookedAt != walk) {
      missing.push_back(it->first);
    }
  }
  for (const std::string& path : missing) {
    forget(path);
  }
}

void Index::lookAt(const std::string& path, int dirFd, const std::string& name) {
  ++m_looked;
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    forget(path);
    return;
  }
  auto it = m_files.find(path);
  if (it == m_files.end()) {
    auto place = placeOf(path.substr(m_projects.size() + 1));
    if (!place) {
      return;
    }
    File f;
    f.sessionKey = place->sessionKey;
    f.state.main = place->main;
    f.state.named = place->main;
    f.state.agent = place->main ? "main" : fileStem(path);
    it = m_files.emplace(path, std::move(f)).first;
    Session& s = m_sessions[place->sessionKey];
    s.paths.insert(path);
    s.dirty = true;
  }
  File& f = it->second;
  FileStamp now = stampOf(st);
  if (sameBytes(now, f.seen)) {
    return;
  }
  f.seen = now;
  Session& s = m_sessions[f.sessionKey];
  s.newestMtimeNs = std::max(s.newestMtimeNs, now.mtimeNs);
  if (s.loaded) {
    m_touched.insert(f.sessionKey);
  }
}

void Index::forget(const std::string& path) {
  auto it = m_files.find(path);
  if (it == m_files.end()) {
    return;
  }
  std::string key = it->second.sessionKey;
  m_files.erase(it);
  m_unsaved.erase(path);
  if (m_stored) {
    m_stored->erase(path);
    m_gone.push_back(path);
  }
  Session& s = m_sessions[key];
  s.paths.erase(path);
  s.dirty = true;
  if (s.loaded) {
    m_touched.insert(key);
  }
}

}  // namespace claude_files
