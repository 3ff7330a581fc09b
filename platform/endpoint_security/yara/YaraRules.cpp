#include "platform/endpoint_security/yara/YaraRules.h"

#include <openssl/evp.h>
#include <yara.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace platform::es {
namespace {

namespace fs = std::filesystem;

struct RuleFile {
  std::string path;
  std::string name;  // within the folder
  std::string stem;
  std::string content;
};

void initializeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { yr_initialize(); });  // never finalized: rule sets live to the end
}

std::vector<RuleFile> listRuleFiles(const std::string& folder, std::vector<std::string>& problems) {
  std::vector<RuleFile> files;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    const std::string extension = path.extension().string();
    if ((extension != ".yar" && extension != ".yara") || !it->is_regular_file()) continue;
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      problems.push_back(path.string() + ": cannot be read, ignoring");
      continue;
    }
    files.push_back(
        {path.string(), path.filename().string(), path.stem().string(), std::move(content)});
  }
  if (error) problems.push_back(folder + ": " + error.message());
  std::sort(files.begin(), files.end(),
            [](const RuleFile& a, const RuleFile& b) { return a.name < b.name; });
  return files;
}

std::string versionOf(const std::vector<RuleFile>& files) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  for (const RuleFile& file : files) {
    const std::string head = file.name + '\0' + std::to_string(file.content.size()) + '\0';
    EVP_DigestUpdate(ctx, head.data(), head.size());
    EVP_DigestUpdate(ctx, file.content.data(), file.content.size());
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, digest, &length);
  EVP_MD_CTX_free(ctx);
  char hex[13];
  for (int i = 0; i < 6; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

// A compiler that collects its errors; once one file failed it takes no more (libyara's rule).
class Compiler {
 public:
  Compiler() {
    if (yr_compiler_create(&compiler_) != ERROR_SUCCESS) compiler_ = nullptr;
    if (compiler_ != nullptr) yr_compiler_set_callback(compiler_, &Compiler::onMessage, this);
  }
  ~Compiler() {
    if (compiler_ != nullptr) yr_compiler_destroy(compiler_);
  }
  Compiler(const Compiler&) = delete;
  Compiler& operator=(const Compiler&) = delete;

  // Whether `file` compiled; its errors otherwise.
  bool add(const RuleFile& file, std::vector<std::string>& errors) {
    if (compiler_ == nullptr) {
      errors.push_back(file.path + ": the YARA compiler could not be created");
      return false;
    }
    errors_.clear();
    FILE* in = ::fmemopen(const_cast<char*>(file.content.data()), file.content.size(), "r");
    // An empty file cannot be opened in memory, and holds no rules either.
    if (in == nullptr) return file.content.empty();
    const int failed = yr_compiler_add_file(compiler_, in, file.stem.c_str(), file.path.c_str());
    std::fclose(in);
    if (failed != 0 && errors_.empty()) errors_.push_back(file.path + ": does not compile");
    errors.insert(errors.end(), errors_.begin(), errors_.end());
    return failed == 0;
  }

  YR_RULES* rules() {
    YR_RULES* rules = nullptr;
    if (compiler_ == nullptr || yr_compiler_get_rules(compiler_, &rules) != ERROR_SUCCESS) {
      return nullptr;
    }
    return rules;
  }

 private:
  static void onMessage(int level, const char* file, int line, const YR_RULE*, const char* message,
                        void* self) {
    if (level != YARA_ERROR_LEVEL_ERROR) return;  // warnings leave the rule in force
    std::ostringstream text;
    text << (file != nullptr ? file : "?") << ':' << line << ": " << message;
    static_cast<Compiler*>(self)->errors_.push_back(text.str());
  }

  YR_COMPILER* compiler_ = nullptr;
  std::vector<std::string> errors_;
};

int collectMatch(YR_SCAN_CONTEXT*, int message, void* data, void* matches) {
  if (message == CALLBACK_MSG_RULE_MATCHING) {
    const auto* rule = static_cast<const YR_RULE*>(data);
    static_cast<std::vector<std::string>*>(matches)->push_back(std::string(rule->ns->name) + ':' +
                                                               rule->identifier);
  }
  return CALLBACK_CONTINUE;
}

}  // namespace

std::shared_ptr<const YaraRules> YaraRules::load(const std::string& folder,
                                                 std::vector<std::string>& problems) {
  initializeOnce();
  const std::vector<RuleFile> files = listRuleFiles(folder, problems);
  std::shared_ptr<YaraRules> set(new YaraRules());
  set->version_ = versionOf(files);
  // Each file alone first: a broken one is known without spoiling the compiler of the others.
  std::vector<const RuleFile*> good;
  for (const RuleFile& file : files) {
    if (Compiler().add(file, problems)) good.push_back(&file);
  }
  // Together they can still clash (the same rule twice in one namespace): such a file is left
  // out and the set compiled again without it.
  for (bool clash = true; clash;) {
    clash = false;
    auto compiler = std::make_unique<Compiler>();
    for (auto it = good.begin(); it != good.end(); ++it) {
      if (compiler->add(**it, problems)) continue;
      good.erase(it);
      clash = true;
      break;
    }
    if (clash) continue;
    set->rules_ = compiler->rules();
  }
  set->fileCount_ = good.size();
  if (set->rules_ != nullptr) set->ruleCount_ = set->rules_->num_rules;
  return set;
}

YaraRules::~YaraRules() {
  if (rules_ != nullptr) yr_rules_destroy(rules_);
}

YaraScan YaraRules::scan(int fd, int timeoutSeconds) const {
  YaraScan result;
  if (rules_ == nullptr) {
    result.status = YaraScan::Status::Scanned;
    return result;
  }
  const int rc = yr_rules_scan_fd(rules_, fd, SCAN_FLAGS_FAST_MODE, collectMatch, &result.matches,
                                  timeoutSeconds);
  result.status = rc == ERROR_SUCCESS        ? YaraScan::Status::Scanned
                  : rc == ERROR_SCAN_TIMEOUT ? YaraScan::Status::TimedOut
                                             : YaraScan::Status::Failed;
  return result;
}

}  // namespace platform::es
