#include "platform/endpoint_security/client/BpfSupport.h"

#include <linux/capability.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <vector>

namespace platform::es {
namespace {

int silent(libbpf_print_level, const char*, va_list) {
  return 0;
}

}  // namespace

es_new_client_result_t mayLoadBpf(std::string& why) {
  if (::geteuid() != 0) {
    why = "not running as root";
    return ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED;
  }
  if (!(hasEffectiveCapability(CAP_BPF) && hasEffectiveCapability(CAP_PERFMON)) &&
      !hasEffectiveCapability(CAP_SYS_ADMIN)) {
    why = "no CAP_BPF and CAP_PERFMON";
    return ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED;
  }
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

void quietLibbpf() {
  libbpf_set_print(silent);
}

std::optional<std::uint64_t> sumPerCpu(const bpf_map* counters) {
  const int cpus = libbpf_num_possible_cpus();
  std::vector<std::uint64_t> values(static_cast<std::size_t>(std::max(cpus, 1)));
  const std::uint32_t zero = 0;
  if (bpf_map__lookup_elem(counters, &zero, sizeof zero, values.data(),
                           values.size() * sizeof(std::uint64_t), 0) != 0) {
    return std::nullopt;
  }
  std::uint64_t total = 0;
  for (const std::uint64_t value : values) total += value;
  return total;
}

}  // namespace platform::es
