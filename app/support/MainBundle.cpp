#include "app/support/MainBundle.h"

#include <unistd.h>

#include "app/BuildConfig.h"

namespace app {
namespace {

namespace fs = std::filesystem;

fs::path executableDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::current_path() : self.parent_path();
}

bool isExecutable(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

const MainBundle& MainBundle::mainBundle() {
  static const MainBundle bundle = [] {
    const fs::path here = executableDirectory();
    const fs::path prefix = here.parent_path();
    std::vector<fs::path> builds;
    for (std::string_view path : {build_config::kBuildTreeAgent, build_config::kBuildTreeInstaller})
      if (!path.empty()) builds.emplace_back(path);
    return MainBundle({here, prefix / build_config::kInstallDataDirectory},
                      {here, prefix / build_config::kInstallLibexecDirectory,
                       prefix / build_config::kInstallAgentDirectory},
                      std::move(builds));
  }();
  return bundle;
}

MainBundle::MainBundle(std::vector<fs::path> resourceDirectories,
                       std::vector<fs::path> programDirectories,
                       std::vector<fs::path> buildTreePrograms)
    : resourceDirectories_(std::move(resourceDirectories)),
      programDirectories_(std::move(programDirectories)),
      buildTreePrograms_(std::move(buildTreePrograms)) {}

std::optional<fs::path> MainBundle::urlForResource(const std::string& name,
                                                   const std::string& extension) const {
  for (const fs::path& directory : resourceDirectories_) {
    const fs::path candidate = directory / (name + "." + extension);
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate;
  }
  return std::nullopt;
}

std::optional<fs::path> MainBundle::pathForAuxiliaryExecutable(const std::string& name) const {
  for (const fs::path& directory : programDirectories_) {
    if (isExecutable(directory / name)) return directory / name;
  }
  // Last, where this build made it: running the application straight from its build tree.
  for (const fs::path& program : buildTreePrograms_) {
    if (program.filename() == name && isExecutable(program)) return program;
  }
  return std::nullopt;
}

}  // namespace app
