// The sandbox's disk image: where its parts come from, how it is filled, and
// the temporary folders around it.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "core/sandbox_internal.h"

namespace fs = std::filesystem;

namespace emu {

// Found at run time, not fixed at build time, so the emulator runs any TAP
// from wherever it is installed: the folder "disk" beside the running program
// (orvado-emu), else beside the folder of the core library (the build's lib/,
// for the test programs).
std::string defaultDiskTemplate() {
  std::error_code ec;
  std::vector<fs::path> candidates;
  fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) candidates.push_back(program.parent_path() / "disk");
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&defaultDiskTemplate), &info) && info.dli_fname) {
    fs::path core = fs::absolute(info.dli_fname, ec);
    if (!ec) candidates.push_back(core.parent_path().parent_path() / "disk");
  }
  for (const fs::path& dir : candidates)
    if (fs::is_directory(dir, ec)) return dir.string();
  return "";
}

namespace sandbox_detail {

namespace {

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

// On the receiver's PATH, not the caller's: a version manager's shim that
// comes first there must not become the disk's wget.
std::string findOnPath(const std::string& name) {
  std::string path = kReceiverPath;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (isExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return "";
}

std::string systemError(const std::string& what) { return what + ": " + strerror(errno); }

bool resolveDiskSource(const SandboxOptions& options, DiskSource* source, std::string* error) {
  source->files = options.files;
  source->templateDir = options.diskTemplate.empty() ? defaultDiskTemplate() : options.diskTemplate;
  std::error_code ec;
  if (source->templateDir.empty()) {
    *error = "No disk template: there is no folder \"disk\" beside the program or its core library, and none was named";
    return false;
  }
  if (!fs::is_directory(source->templateDir, ec)) {
    *error =
        "The disk template \"" + source->templateDir + "\" is not a folder (build the disk target or name a template)";
    return false;
  }
  if (!options.wget.empty()) {
    if (!isExecutableFile(options.wget)) {
      *error = "The wget \"" + options.wget + "\" is not an executable file";
      return false;
    }
    source->wget = options.wget;
  } else if (isExecutableFile(source->templateDir + "/ProgramFiles/wget")) {
    // A template that brings its own wget (the user package does) keeps it.
    source->wget.clear();
  } else {
    source->wget = findOnPath("wget");
    if (source->wget.empty()) {
      *error =
          std::string("GNU wget was not found in ") + kReceiverPath + "; install it (Debian package wget) or name one";
      return false;
    }
  }
  return true;
}

bool writeTrustFiles(const std::string& caFile, const std::string& dir, std::string* wgetrc, std::string* error) {
  std::ifstream in(caFile, std::ios::binary);
  std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    *error = "Cannot read the CA file " + caFile;
    return false;
  }
  if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
    *error = "The CA file " + caFile + " holds no PEM certificate (-----BEGIN CERTIFICATE-----)";
    return false;
  }
  std::ifstream host("/etc/ssl/certs/ca-certificates.crt", std::ios::binary);
  std::string bundle((std::istreambuf_iterator<char>(host)), std::istreambuf_iterator<char>());
  if (!bundle.empty() && bundle.back() != '\n') bundle += '\n';
  std::string bundlePath = dir + "/ca-bundle.crt";
  *wgetrc = dir + "/wgetrc";
  std::ofstream(bundlePath, std::ios::binary) << bundle << pem;
  std::ofstream rc(*wgetrc);
  rc << "ca_certificate = " << bundlePath << "\n";
  if (!rc.good()) {
    *error = "Cannot write " + *wgetrc;
    return false;
  }
  return true;
}

bool fillDiskImage(const DiskSource& source, const std::string& dir, std::string* error) {
  std::error_code ec;
  fs::copy(source.templateDir, dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    *error = "Cannot copy the disk template " + source.templateDir + " to " + dir + ": " + ec.message();
    return false;
  }
  if (!source.wget.empty()) {
    fs::path programFiles = fs::path(dir) / "ProgramFiles";
    fs::create_directories(programFiles, ec);
    fs::path wget = programFiles / "wget";
    if (!ec) fs::copy_file(source.wget, wget, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::permissions(wget, fs::perms(0755), ec);
    if (ec) {
      *error = "Cannot copy " + source.wget + " to " + wget.string() + ": " + ec.message();
      return false;
    }
  }
  return putDiskFiles(source.files, dir, error);
}

bool putDiskFiles(const std::vector<DiskFile>& files, const std::string& dir, std::string* error) {
  for (const DiskFile& file : files) {
    std::string relative;
    if (!diskFilePath(file.path, relative, error)) return false;
    fs::path target = fs::path(dir) / relative;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
      *error = "Cannot make the folder of " + file.path + " in the disk image: " + ec.message();
      return false;
    }
    if (!file.source.empty()) {
      if (!fs::is_regular_file(file.source, ec)) {
        *error = "Cannot put " + file.source + " into the disk image: it is no file";
        return false;
      }
      fs::copy_file(file.source, target, fs::copy_options::overwrite_existing, ec);
      if (ec) {
        *error = "Cannot put " + file.source + " into the disk image as " + file.path + ": " + ec.message();
        return false;
      }
      continue;
    }
    FILE* out = fopen(target.c_str(), "wb");
    bool ok = out && fwrite(file.text.data(), 1, file.text.size(), out) == file.text.size();
    if (out && fclose(out) != 0) ok = false;
    if (!ok) {
      *error = systemError("Cannot write " + file.path + " into the disk image");
      return false;
    }
  }
  return true;
}

bool prepareDiskDir(const SandboxOptions& options, std::string* path, std::string* error) {
  std::error_code ec;
  fs::path dir = fs::absolute(options.diskDir, ec);
  if (!ec) fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    *error = "Cannot use " + options.diskDir + " as the disk folder: " + (ec ? ec.message() : "not a folder");
    return false;
  }
  *path = dir.string();
  fs::directory_iterator entries(dir, ec);
  if (ec) {
    *error = "Cannot read the disk folder " + *path + ": " + ec.message();
    return false;
  }
  // A folder with anything in it is the user's disk and stays as it is, but
  // for the files named to go into it.
  if (entries != fs::directory_iterator()) return putDiskFiles(options.files, *path, error);
  DiskSource source;
  return resolveDiskSource(options, &source, error) && fillDiskImage(source, *path, error);
}

std::string makeTempDir(const std::string& prefix, std::string* error) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) {
    *error = systemError("Cannot make a temporary folder " + pattern);
    return "";
  }
  return buffer.data();
}

namespace {

// Gives the owner full rights on every folder of the tree, so that folders a
// run left read-only can be emptied.
void openUpFolders(const fs::path& dir) {
  chmod(dir.c_str(), 0700);
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) openUpFolders(it->path());
  }
}

}  // namespace

void removeTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (!ec) return;
  openUpFolders(path);
  fs::remove_all(path, ec);
  if (ec) fprintf(stderr, "Cannot remove %s: %s\n", path.c_str(), ec.message().c_str());
}

}  // namespace sandbox_detail

bool diskFilePath(const std::string& path, std::string& relative, std::string* error) {
  std::string p = path;
  if (p.rfind("/mnt/hd/", 0) == 0) p = p.substr(8);
  std::string why;
  if (p.empty() || p.back() == '/')
    why = "it names no file";
  else if (p[0] == '/')
    why = "it lies outside /mnt/hd";
  for (const auto& part : fs::path(p))
    if (part == ".." && why.empty()) why = "it leaves /mnt/hd (..)";
  std::string normal = fs::path(p).lexically_normal().string();
  // "./." or "a/." name the image or a folder, not a file.
  if (why.empty() && (normal.empty() || normal == "." || normal.back() == '/')) why = "it names no file";
  if (!why.empty()) {
    if (error) *error = "Bad path in the disk image \"" + path + "\": " + why;
    return false;
  }
  relative = normal;
  return true;
}

}  // namespace emu
