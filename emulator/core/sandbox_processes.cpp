// The sandbox's processes, read from its own /proc, with the sizes of the
// files that downloads write.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "core/sandbox.h"

namespace emu {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Relative names are the process's own: resolved against its working folder.
long long sizeOf(int pid, const std::string& file) {
  std::string path = file;
  if (path.empty() || path == "-") return -1;
  if (path[0] != '/') {
    char cwd[4096];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), cwd, sizeof cwd - 1);
    if (n <= 0) return -1;
    path = std::string(cwd, static_cast<size_t>(n)) + "/" + path;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

std::vector<SandboxProcess> sandboxProcesses(const std::string& name) {
  std::vector<SandboxProcess> out;
  DIR* dir = opendir("/proc");
  if (!dir) return out;
  while (dirent* entry = readdir(dir)) {
    std::string id = entry->d_name;
    if (id.empty() || !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    SandboxProcess p;
    p.pid = std::stoi(id);
    p.name = readAll("/proc/" + id + "/comm");
    if (p.name.empty()) continue;  // gone meanwhile
    if (p.name.back() == '\n') p.name.pop_back();
    if (!name.empty() && p.name != name) continue;
    std::string cmdline = readAll("/proc/" + id + "/cmdline");
    for (size_t start = 0; start < cmdline.size();) {
      size_t end = cmdline.find('\0', start);
      if (end == std::string::npos) end = cmdline.size();
      p.args.push_back(cmdline.substr(start, end - start));
      start = end + 1;
    }
    for (size_t i = 0; i < p.args.size(); ++i) {
      const std::string& a = p.args[i];
      std::string file;
      if ((a == "-O" || a == "-o" || a == "-a") && i + 1 < p.args.size())
        file = p.args[++i];
      else if (a.size() > 2 && (a.rfind("-O", 0) == 0 || a.rfind("-o", 0) == 0) && a[1] != '-')
        file = a.substr(2);
      else if (a.rfind("--output-document=", 0) == 0)
        file = a.substr(18);
      else
        continue;
      p.files.emplace_back(file, sizeOf(p.pid, file));
    }
    out.push_back(std::move(p));
  }
  closedir(dir);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
  return out;
}

}  // namespace emu
