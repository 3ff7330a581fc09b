// A /proc tree in a temporary directory, for the process rules that read /proc through a
// ProcReader: each fixture process has the stat, status, cmdline and environ files and the exe
// link those rules read.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/TempDir.h"

namespace fixture {

namespace fs = std::filesystem;

// One process of a fixture tree.
struct FakeProcess {
  pid_t pid = 0;
  pid_t ppid = 1;
  pid_t pgrp = 0;
  pid_t session = 0;
  uid_t ruid = 1000;
  uid_t euid = 1000;
  gid_t rgid = 100;
  gid_t egid = 100;
  std::string exe;  // a program of the fixture, by name; empty: none (a kernel thread)
  std::string args;
  std::string envs;
  bool kernel = false;
};

// A /proc tree in a temporary directory, with the programs its processes run.
class FakeProc {
 public:
  FakeProc() {
    fs::create_directories(base_.path() / "proc");
    fs::create_directories(base_.path() / "bin");
  }

  std::string root() const { return (base_.path() / "proc").string(); }
  std::string program(const std::string& name) const {
    return (base_.path() / "bin" / name).string();
  }

  void put(const FakeProcess& p) {
    const fs::path dir = base_.path() / "proc" / std::to_string(p.pid);
    fs::remove_all(dir);
    fs::create_directories(dir);
    const unsigned flags = p.kernel ? 0x00200000u : 0x00400000u;
    writeFile(dir / "stat", std::to_string(p.pid) + " (" + p.exe + ") S " + std::to_string(p.ppid) +
                                " " + std::to_string(p.pgrp) + " " + std::to_string(p.session) +
                                " 0 -1 " + std::to_string(flags) +
                                " 0 0 0 0 0 0 0 0 20 0 1 0 4242 0 0\n");
    writeFile(dir / "status", "Name:\tx\nUid:\t" + std::to_string(p.ruid) + "\t" +
                                  std::to_string(p.euid) + "\t0\t0\nGid:\t" +
                                  std::to_string(p.rgid) + "\t" + std::to_string(p.egid) +
                                  "\t0\t0\n");
    writeFile(dir / "cmdline", p.args);
    writeFile(dir / "environ", p.envs);
    if (!p.exe.empty()) {
      const fs::path target = program(p.exe);
      if (!fs::exists(target)) writeFile(target, "#!" + p.exe + "\n");
      fs::create_symlink(target, dir / "exe");
    }
  }
  // The process ended and was reaped.
  void remove(pid_t pid) { fs::remove_all(base_.path() / "proc" / std::to_string(pid)); }

 private:
  static void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  const test_support::TempDir base_{"fake-proc"};
};

}  // namespace fixture
