#include "platform/endpoint_security/screen_sharing/ScreenSharingServers.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <memory>

#include "platform/endpoint_security/identity/PackageIndex.h"

namespace platform::es {
namespace {

struct Known {
  std::string_view name;
  bool startsSession;
};

// x11vnc, x0vncserver, krfb, wayvnc and gnome-remote-desktop share a session that already
// runs; Xvnc, Xtigervnc and xrdp start one for the viewer.
constexpr std::array<Known, 8> kKnown = {{{"x11vnc", false},
                                          {"x0vncserver", false},
                                          {"gnome-remote-desktop-daemon", false},
                                          {"krfb", false},
                                          {"wayvnc", false},
                                          {"Xvnc", true},
                                          {"Xtigervnc", true},
                                          {"xrdp", true}}};

constexpr std::array<std::string_view, 3> kFolders = {"/usr/bin", "/usr/sbin", "/usr/libexec"};

// The canonical path of `path` below `root`, as seen from that root; "" when it does not exist.
std::string canonical(const std::string& root, const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath((root + path).c_str(), nullptr),
                                                   &std::free);
  if (!real) return {};
  const std::string full = real.get();
  if (full.compare(0, root.size(), root) != 0) return {};
  return full.substr(root.size());
}

}  // namespace

std::vector<ScreenSharingServer> findPackagedServers(const PackageIndex& packages,
                                                     const std::string& root) {
  std::vector<ScreenSharingServer> found;
  for (const Known& known : kKnown) {
    for (const std::string_view folder : kFolders) {
      const std::string path = canonical(root, std::string(folder) + "/" + std::string(known.name));
      struct stat st {};
      if (path.empty() || packages.owner(path) == nullptr ||
          ::stat((root + path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        continue;
      }
      if (serverOfFile(found, st.st_dev, st.st_ino) != nullptr) continue;  // Xvnc -> Xtigervnc
      found.push_back({path, st.st_dev, st.st_ino, known.startsSession});
    }
  }
  return found;
}

const ScreenSharingServer* serverOfFile(const std::vector<ScreenSharingServer>& servers, dev_t dev,
                                        ino_t ino) {
  for (const ScreenSharingServer& server : servers) {
    if (server.dev == dev && server.ino == ino) return &server;
  }
  return nullptr;
}

}  // namespace platform::es
