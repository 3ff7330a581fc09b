// The application's bundle on Linux: the files that ship with the executable. In a build tree
// they sit next to it (or are found where the build made them); once installed they live under
// <prefix>/share/corvane-endpoint and <prefix>/libexec/corvane-endpoint.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace app {

class MainBundle {
 public:
  // The bundle of the running executable.
  static const MainBundle& mainBundle();

  // Directories searched in order, for resources and for bundled programs.
  MainBundle(std::vector<std::filesystem::path> resourceDirectories,
             std::vector<std::filesystem::path> programDirectories,
             std::vector<std::filesystem::path> buildTreePrograms = {});

  // The resource "<name>.<extension>", if it exists.
  std::optional<std::filesystem::path> urlForResource(const std::string& name,
                                                      const std::string& extension) const;
  // A program that ships with the application (the agent, the installer helper).
  std::optional<std::filesystem::path> pathForAuxiliaryExecutable(const std::string& name) const;

 private:
  std::vector<std::filesystem::path> resourceDirectories_;
  std::vector<std::filesystem::path> programDirectories_;
  std::vector<std::filesystem::path> buildTreePrograms_;
};

}  // namespace app
