// The YARA rules of one folder, compiled: every *.yar and *.yara file in it (not its
// subfolders), each under its own namespace, the file's stem, so that a match names
// "<stem>:<rule>". A file that does not compile is left out with the compiler's message, file and
// line; the others stay in force. The set is immutable once loaded and may scan on several
// threads at once.
//
// Its version is the first 12 hex digits of a SHA-256 over the folder's rule files in name order,
// each as its name, a NUL, its length in decimal, a NUL and its content: a change to any rule
// file (also one that does not compile) gives a new version.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct YR_RULES;

namespace platform::es {

struct YaraScan {
  enum class Status { Scanned, TimedOut, Failed };
  Status status = Status::Failed;
  std::vector<std::string> matches;  // "<rule file stem>:<rule name>"
};

class YaraRules {
 public:
  // The rules of `folder`; a problem per file left out ("<path>:<line>: <message>") or for the
  // folder itself, which then gives an empty set.
  static std::shared_ptr<const YaraRules> load(const std::string& folder,
                                               std::vector<std::string>& problems);
  ~YaraRules();
  YaraRules(const YaraRules&) = delete;
  YaraRules& operator=(const YaraRules&) = delete;

  const std::string& version() const { return version_; }
  std::size_t ruleCount() const { return ruleCount_; }
  std::size_t fileCount() const { return fileCount_; }  // compiled ones

  // The rules matching the file open at `fd`, giving up after `timeoutSeconds`.
  YaraScan scan(int fd, int timeoutSeconds) const;

 private:
  YaraRules() = default;

  YR_RULES* rules_ = nullptr;
  std::string version_;
  std::size_t ruleCount_ = 0;
  std::size_t fileCount_ = 0;
};

}  // namespace platform::es
