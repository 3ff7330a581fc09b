// A private bus with a stand-in for logind: a dbus-daemon started for the test, and a thread
// that owns org.freedesktop.login1 on it, answers ListSessions and the sessions' properties, and
// emits SessionNew, Unlock and PropertiesChanged when the test asks. Everything is stopped and
// removed at the end.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/TempDir.h"

namespace fake {

using namespace std::chrono_literals;

// A dbus-daemon of our own on a socket in a temporary folder; it can be stopped and started
// again on the same address, as a system bus restarts.
class PrivateBus {
 public:
  explicit PrivateBus(bool running = true) {
    config_ = dir_ + "/bus.conf";
    std::ofstream(config_) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                              "Configuration 1.0//EN\" "
                              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                              "<busconfig><listen>unix:path="
                           << dir_
                           << "/bus</listen><auth>EXTERNAL</auth>"
                              "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                              "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                              "</policy></busconfig>\n";
    if (running) start();
  }
  ~PrivateBus() { stop(); }

  void start() {
    const std::string arg = "--config-file=" + config_;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execlp("dbus-daemon", "dbus-daemon", arg.c_str(), "--nofork", "--nopidfile", nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !ready(); ++i) std::this_thread::sleep_for(10ms);
  }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    std::filesystem::remove(dir_ + "/bus");
  }

  std::string address() const { return "unix:path=" + dir_ + "/bus"; }

  bool ready() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (dir_ + "/bus").c_str(), sizeof address.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
  }

 private:
  const test_support::TempDir tree_{"watch-bus"};
  const std::string dir_ = tree_.string();
  std::string config_;
  pid_t pid_ = -1;
};

struct Session {
  std::string id;
  std::string name;
  std::string type;
  std::string sessionClass;
  std::uint32_t leader = 0;
  bool lockedHint = false;
  std::string path() const { return "/org/freedesktop/login1/session/_" + id; }
};

class FakeLogind {
 public:
  explicit FakeLogind(const std::string& address) {
    sd_bus* bus = nullptr;
    ok_ = sd_bus_new(&bus) >= 0;
    bus_ = bus;
    ok_ = ok_ && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
          sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
          sd_bus_add_fallback(bus_, nullptr, "/org/freedesktop/login1", &FakeLogind::onCall,
                              this) >= 0 &&
          sd_bus_request_name(bus_, "org.freedesktop.login1", 0) >= 0;
    thread_ = std::thread([this] { run(); });
  }
  ~FakeLogind() {
    stopping_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
  }
  bool ok() const { return ok_; }

  // Each runs on the bus thread and returns once done.
  void addSession(const Session& s, bool announce) {
    sync([&] {
      sessions_[s.path()] = s;
      if (announce) {
        sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "SessionNew", "so", s.id.c_str(), s.path().c_str());
      }
    });
  }
  void unlock(const Session& s) {
    sync([&] {
      sd_bus_emit_signal(bus_, s.path().c_str(), "org.freedesktop.login1.Session", "Unlock", "");
    });
  }
  void setLockedHint(const Session& s, bool locked) {
    sync([&] {
      sessions_[s.path()].lockedHint = locked;
      sd_bus_emit_signal(bus_, s.path().c_str(), "org.freedesktop.DBus.Properties",
                         "PropertiesChanged", "sa{sv}as", "org.freedesktop.login1.Session", 1,
                         "LockedHint", "b", static_cast<int>(locked), 0);
    });
  }

 private:
  void sync(const std::function<void()>& work) {
    std::atomic<bool> done{false};
    {
      std::lock_guard lock(mutex_);
      work_.push_back([&] {
        work();
        sd_bus_flush(bus_);
        done = true;
      });
    }
    while (!done) std::this_thread::sleep_for(1ms);
  }

  void run() {
    while (!stopping_) {
      std::deque<std::function<void()>> work;
      {
        std::lock_guard lock(mutex_);
        work.swap(work_);
      }
      for (auto& w : work) w();
      if (sd_bus_process(bus_, nullptr) > 0) continue;
      // 5 ms; a bus that went away is not waited on.
      if (sd_bus_wait(bus_, 5000) < 0) std::this_thread::sleep_for(5ms);
    }
  }

  static int onCall(sd_bus_message* m, void* self, sd_bus_error* error) {
    auto* fake = static_cast<FakeLogind*>(self);
    if (sd_bus_message_is_method_call(m, "org.freedesktop.login1.Manager", "ListSessions")) {
      sd_bus_message* reply = nullptr;
      sd_bus_message_new_method_return(m, &reply);
      sd_bus_message_open_container(reply, 'a', "(susso)");
      for (const auto& [path, s] : fake->sessions_) {
        sd_bus_message_append(reply, "(susso)", s.id.c_str(), 1000u, s.name.c_str(), "seat0",
                              path.c_str());
      }
      sd_bus_message_close_container(reply);
      sd_bus_send(nullptr, reply, nullptr);
      sd_bus_message_unref(reply);
      return 1;
    }
    if (!sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Properties", "Get")) return 0;
    const char *interface = nullptr, *name = nullptr;
    sd_bus_message_read(m, "ss", &interface, &name);
    auto it = fake->sessions_.find(sd_bus_message_get_path(m));
    if (it == fake->sessions_.end()) {
      return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchSession", "no such session");
    }
    const Session& s = it->second;
    const std::string property = name;
    if (property == "Id") return sd_bus_reply_method_return(m, "v", "s", s.id.c_str());
    if (property == "Name") return sd_bus_reply_method_return(m, "v", "s", s.name.c_str());
    if (property == "Type") return sd_bus_reply_method_return(m, "v", "s", s.type.c_str());
    if (property == "Class") {
      return sd_bus_reply_method_return(m, "v", "s", s.sessionClass.c_str());
    }
    if (property == "Leader") return sd_bus_reply_method_return(m, "v", "u", s.leader);
    if (property == "LockedHint") {
      return sd_bus_reply_method_return(m, "v", "b", static_cast<int>(s.lockedHint));
    }
    return sd_bus_error_set(error, "org.freedesktop.DBus.Error.UnknownProperty", name);
  }

  sd_bus* bus_ = nullptr;
  bool ok_ = false;
  std::map<std::string, Session> sessions_;  // bus thread only
  std::mutex mutex_;
  std::deque<std::function<void()>> work_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace fake
