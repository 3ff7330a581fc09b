#include "platform/xpc/ReportWriter.h"

#include <sys/socket.h>

#include <cerrno>

namespace xpc {
namespace {

// Bytes of ready-made messages gathered before they are written; a larger buffer is not kept.
constexpr std::size_t kBatchBytes = 64 * 1024;

class BatchedReportWriter final : public ReportWriter {
 public:
  explicit BatchedReportWriter(int fd) : fd_(fd) {}

  Result add(std::vector<QueuedReport> batch, std::string_view interface) override {
    for (auto& item : batch) {
      appendFromTemplate(nextSerial(), interface, item.method->member, *item.payload);
      if (errors_.empty() || errors_.back() != item.onError) {
        errors_.push_back(std::move(item.onError));
      }
    }
    return flush();
  }

  Result flush() override {
    while (sent_ < raw_.size()) {
      const ssize_t n =
          ::send(fd_, raw_.data() + sent_, raw_.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return {Status::blocked, 0};
        return {Status::failed, errno};
      }
      sent_ += static_cast<std::size_t>(n);
    }
    if (raw_.capacity() > 4 * kBatchBytes) {
      std::string().swap(raw_);  // one huge report does not keep its buffer
    } else {
      raw_.clear();
    }
    sent_ = 0;
    errors_.clear();
    return {};
  }

  bool halfWritten() const override { return sent_ < raw_.size(); }

  std::size_t drop(std::vector<SharedErrorHandler>& unwritten) override {
    const std::size_t held = raw_.capacity();
    for (auto& handler : errors_) unwritten.push_back(std::move(handler));
    errors_.clear();
    std::string().swap(raw_);
    sent_ = 0;
    return held;
  }

 private:
  // A report differs from the one before only in its serial, its lengths and its bytes: the
  // message is copied from one made once for the interface and member, and those are patched.
  void appendFromTemplate(std::uint32_t serial, std::string_view interface,
                          std::string_view member, std::string_view payload) {
    if (template_.empty() || interface != templateInterface_ || member != templateMember_) {
      templateInterface_.assign(interface);
      templateMember_.assign(member);
      template_.clear();
      appendReport(template_, 0, interface, member, {});
    }
    const std::size_t start = raw_.size();
    raw_.append(template_);
    auto putU32At = [&](std::size_t at, std::uint32_t value) {
      for (int i = 0; i < 4; ++i) raw_[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
    };
    const auto size = static_cast<std::uint32_t>(payload.size());
    putU32At(start + 4, 4 + size);  // the body: the array's length and its bytes
    putU32At(start + 8, serial);
    putU32At(raw_.size() - 4, size);
    raw_.append(payload);
  }

  // Serials of our own messages, apart from those sd-bus gives its messages (counting from 1).
  std::uint32_t nextSerial() {
    if (serial_ == 0) serial_ = 0x80000000u;
    return serial_++;
  }

  const int fd_;
  std::string raw_;  // messages ready for the socket
  std::size_t sent_ = 0;
  std::vector<SharedErrorHandler> errors_;  // of the reports in raw_
  std::uint32_t serial_ = 0;
  std::string template_;  // a report with no bytes, for the interface and member below
  std::string templateInterface_;
  std::string templateMember_;
};

class PlainReportWriter final : public ReportWriter {
 public:
  explicit PlainReportWriter(sd_bus* bus) : bus_(bus) {}

  Result add(std::vector<QueuedReport> batch, std::string_view interface) override {
    const std::string path(interface);
    for (auto& item : batch) {
      sd_bus_message* m = nullptr;
      const std::string member(item.method->member);
      int r = sd_bus_message_new_method_call(bus_, &m, nullptr, "/", path.c_str(), member.c_str());
      if (r >= 0)
        r = sd_bus_message_append_array(m, 'y', item.payload->data(), item.payload->size());
      if (r >= 0) r = sd_bus_message_set_expect_reply(m, 0);
      if (r >= 0) r = sd_bus_send(bus_, m, nullptr);
      sd_bus_message_unref(m);
      if (r < 0) return {Status::failed, -r};
    }
    return {};
  }
  Result flush() override { return {}; }  // sd-bus writes its own queue
  bool halfWritten() const override { return false; }
  std::size_t drop(std::vector<SharedErrorHandler>&) override { return 0; }

 private:
  sd_bus* bus_;
};

}  // namespace

std::unique_ptr<ReportWriter> makeBatchedReportWriter(int fd) {
  return std::make_unique<BatchedReportWriter>(fd);
}

std::unique_ptr<ReportWriter> makePlainReportWriter(sd_bus* bus) {
  return std::make_unique<PlainReportWriter>(bus);
}

void appendReport(std::string& out, std::uint32_t serial, std::string_view interface,
                  std::string_view member, std::string_view payload) {
  const std::size_t start = out.size();
  auto pad = [&](std::size_t alignment) {
    while ((out.size() - start) % alignment) out.push_back('\0');
  };
  auto putU32At = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
  };
  auto u32 = [&](std::uint32_t value) {
    pad(4);
    out.append(4, '\0');
    putU32At(out.size() - 4, value);
  };
  auto field = [&](char code, char type, std::string_view value) {
    pad(8);
    out.push_back(code);
    out.push_back(1);  // the variant's signature: one type
    out.push_back(type);
    out.push_back('\0');
    if (type == 'g') {
      out.push_back(static_cast<char>(value.size()));
    } else {
      u32(static_cast<std::uint32_t>(value.size()));
    }
    out.append(value);
    out.push_back('\0');
  };

  out.append({'l', 1 /* method call */, 1 /* no reply expected */, 1 /* protocol version */});
  const std::size_t bodyLengthAt = out.size();
  u32(0);
  u32(serial);
  const std::size_t fieldsLengthAt = out.size();
  u32(0);
  pad(8);
  const std::size_t fieldsStart = out.size();
  field(1, 'o', "/");
  field(2, 's', interface);
  field(3, 's', member);
  field(8, 'g', "ay");
  putU32At(fieldsLengthAt, static_cast<std::uint32_t>(out.size() - fieldsStart));
  pad(8);
  u32(static_cast<std::uint32_t>(payload.size()));
  out.append(payload);
  putU32At(bodyLengthAt, static_cast<std::uint32_t>(4 + payload.size()));
}

}  // namespace xpc
