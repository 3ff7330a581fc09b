// Auditing switched on for as long as some audit source needs it. The kernel drops the records
// of PAM, sshd and login while auditing is off; when it is off and no audit daemon has claimed
// it, the first source to start switches it on, and the last to stop switches it off again. An
// audit daemon's own setting is never touched. One per process: shared().
#pragma once

#include <mutex>
#include <string>

namespace platform::es::audit {

class AuditEnablement {
 public:
  static AuditEnablement& shared();

  // Counts one user. With `mayEnable`, switches auditing on when it is off and unclaimed.
  // Returns false, with the reason in `why`, when records cannot arrive.
  bool acquire(bool mayEnable, std::string& why);
  // Counts one user off; the last one switches auditing off again if acquire switched it on.
  void release();

 private:
  std::mutex mutex_;
  int users_ = 0;
  bool enabledByUs_ = false;
};

}  // namespace platform::es::audit
