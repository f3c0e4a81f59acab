#include "groups/group_store.h"

#include "groups/doc_files.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace groups {
namespace {

std::vector<std::string> membersOf(const std::string& text) {
  std::vector<std::string> folders;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line[0] == '/') {
      folders.push_back(std::move(line));
    }
    start = end + 1;
  }
  return folders;
}

std::string membersText(const std::vector<std::string>& folders) {
  std::string out;
  for (const std::string& f : folders) {
    out += f + "\n";
  }
  return out;
}

bool makePrivateDir(const std::string& path, std::string* err) {
  if (::mkdir(path.c_str(), 0700) == 0) {
    ::chmod(path.c_str(), 0700);  // whatever the umask
  } else if (errno != EEXIST) {
    *err = "mkdir " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// The members after `change`, or false with *err when the change makes no sense.
bool applyChange(const std::string& name, Change change, std::vector<std::string> folders,
                 const std::vector<Group>& others, std::vector<std::string>* members,
                 std::string* err) {
  for (const std::string& f : folders) {
    bool present = std::find(members->begin(), members->end(), f) != members->end();
    if (change == Change::Remove) {
      if (!present) {
        *err = f + " não está no grupo " + name;
        return false;
      }
      members->erase(std::find(members->begin(), members->end(), f));
      continue;
    }
    for (const Group& g : others) {
      if (g.name != name && std::find(g.folders.begin(), g.folders.end(), f) != g.folders.end()) {
        *err = f + " já está no grupo " + g.name;
        return false;
      }
    }
    if (!present) {
      members->push_back(f);
    }
  }
  return true;
}

}  // namespace

bool validGroupName(std::string_view name) {
  auto alnum = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  // A leading "-" would read as an option on every later command line.
  return !name.empty() && name.size() <= 64 && alnum(name[0]) &&
         std::all_of(name.begin(), name.end(),
                     [&](char c) { return alnum(c) || c == '-' || c == '_'; });
}

bool validDoc(std::string_view doc) {
  return std::find(DOCS.begin(), DOCS.end(), doc) != DOCS.end();
}

std::string groupDir(const std::string& stateDir, const std::string& name) {
  return stateDir + "/groups/" + name;
}

std::string docPath(const std::string& stateDir, const std::string& group, std::string_view doc) {
  return groupDir(stateDir, group) + "/" + std::string(doc) + ".md";
}

std::string lockPath(const std::string& stateDir, const std::string& group) {
  return groupDir(stateDir, group) + "/.lock";
}

bool isUnder(std::string_view path, std::string_view folder) {
  if (folder == "/") {
    return !path.empty() && path[0] == '/';
  }
  return path.substr(0, folder.size()) == folder &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

const Group* groupFor(const std::vector<Group>& all, std::string_view cwd) {
  const Group* best = nullptr;
  size_t bestLength = 0;
  for (const Group& g : all) {
    for (const std::string& f : g.folders) {
      if (isUnder(cwd, f) && (best == nullptr || f.size() > bestLength)) {
        best = &g;
        bestLength = f.size();
      }
    }
  }
  return best;
}

std::vector<Group> loadGroups(const std::string& stateDir) {
  std::vector<Group> all;
  auto names = platform::listDir(stateDir + "/groups");
  if (!names) {
    return all;
  }
  std::sort(names->begin(), names->end());
  for (const std::string& name : *names) {
    std::string text, err;
    if (validGroupName(name) &&
        readDocument(groupDir(stateDir, name) + "/members", &text, &err) == ReadResult::Ok) {
      all.push_back({name, membersOf(text)});
    }
  }
  return all;
}

bool changeMembers(const std::string& stateDir, const std::string& name, Change change,
                   const std::vector<std::string>& folders, std::string* err) {
  if (!validGroupName(name)) {
    *err = "nome de grupo inválido: " + name +
           " (de 1 a 64 letras, dígitos, - ou _, começando por letra ou dígito)";
    return false;
  }
  if (!makePrivateDir(stateDir, err) || !makePrivateDir(stateDir + "/groups", err)) {
    return false;
  }
  // One lock over every group: "a folder is in one group only" spans two members files, so two
  // changes to different groups must not both check before either writes.
  platform::UniqueFd all = lockExclusive(stateDir + "/groups/.lock", err);
  if (!all) {
    return false;
  }
  std::string dir = groupDir(stateDir, name);
  // A group deleted with its documents kept has no members file: creating it again reuses them.
  bool exists = platform::exists(dir + "/members");
  if (change == Change::Create && exists) {
    *err = "o grupo " + name + " já existe";
    return false;
  }
  if (change != Change::Create && !exists) {
    *err = "não existe grupo " + name;
    return false;
  }
  std::vector<Group> others = loadGroups(stateDir);
  if (change == Change::Create) {
    std::vector<std::string> none;
    if (!applyChange(name, change, folders, others, &none, err)) {
      return false;
    }
    if (!makePrivateDir(dir, err)) {
      return false;
    }
    for (const char* doc : DOCS) {
      std::string ignored;
      platform::createFile(docPath(stateDir, name, doc), "", 0600, &ignored);
    }
  }
  std::string written;
  return changeDocument(
      lockPath(stateDir, name), dir + "/members",
      [&](const std::string& current, std::string* next, std::string* e) {
        std::vector<std::string> members = membersOf(current);
        if (!applyChange(name, change, folders, others, &members, e)) {
          return false;
        }
        *next = membersText(members);
        return true;
      },
      &written, err);
}

bool deleteGroup(const std::string& stateDir, const std::string& name, bool documents,
                 std::string* err) {
  std::string dir = groupDir(stateDir, name);
  if (!validGroupName(name) || !platform::exists(dir + "/members")) {
    *err = "não existe grupo " + name;
    return false;
  }
  if (::unlink((dir + "/members").c_str()) != 0) {
    *err = "unlink " + dir + "/members: " + std::strerror(errno);
    return false;
  }
  if (documents) {
    for (const char* doc : DOCS) {
      platform::removeFile(docPath(stateDir, name, doc));
    }
    platform::removeFile(lockPath(stateDir, name));
    // Files of the user's own stay, and with them the folder.
    ::rmdir(dir.c_str());
  }
  return true;
}

}  // namespace groups
