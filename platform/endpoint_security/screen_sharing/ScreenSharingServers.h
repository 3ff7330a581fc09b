// The screen-sharing servers this machine has installed, known by their files: a server is the
// file a Debian package installed under one of the servers' names (device and inode), so a
// program started through a link of another name is still the server, and another file that
// only carries a server's name is not.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace platform::es {

class PackageIndex;

struct ScreenSharingServer {
  std::string path;  // canonical
  dev_t dev = 0;
  ino_t ino = 0;
  bool startsSession = false;  // it starts a graphical session for the viewer (Xvnc, xrdp)
};

// The installed servers below `root` ("" is this machine's root) that `packages` lists.
std::vector<ScreenSharingServer> findPackagedServers(const PackageIndex& packages,
                                                     const std::string& root = "");

// The server whose file is (dev, ino), or null.
const ScreenSharingServer* serverOfFile(const std::vector<ScreenSharingServer>& servers, dev_t dev,
                                        ino_t ino);

}  // namespace platform::es
