#include "platform/xpc/ReportWriter.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace xpc {
namespace {

class BatchedReportWriter final : public ReportWriter {
 public:
  explicit BatchedReportWriter(int fd) : fd_(fd) {}

  // Called only once everything added before has been written (the channel's pump sees to it).
  Result add(std::vector<QueuedReport> batch, std::string_view interface) override {
    headers_.clear();
    std::vector<std::size_t> headerEnds;
    headerEnds.reserve(batch.size());
    for (auto& item : batch) {
      appendHeader(nextSerial(), interface, item.method->member, item.payload->size());
      headerEnds.push_back(headers_.size());
      if (errors_.empty() || errors_.back() != item.onError) {
        errors_.push_back(std::move(item.onError));
      }
    }
    // The headers are complete: the pieces may point into them now.
    std::size_t headerStart = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      pieces_.push_back({headers_.data() + headerStart, headerEnds[i] - headerStart});
      headerStart = headerEnds[i];
      if (!batch[i].payload->empty()) {
        pieces_.push_back({batch[i].payload->data(), batch[i].payload->size()});
      }
      payloads_.push_back(std::move(batch[i].payload));
    }
    return flush();
  }

  Result flush() override {
    while (next_ < pieces_.size()) {
      iovec vectors[kMaxPieces];
      std::size_t count = 0;
      for (std::size_t i = next_; i < pieces_.size() && count < kMaxPieces; ++i, ++count) {
        const std::size_t skip = i == next_ ? offset_ : 0;
        vectors[count] = {const_cast<char*>(pieces_[i].data() + skip), pieces_[i].size() - skip};
      }
      msghdr message{};
      message.msg_iov = vectors;
      message.msg_iovlen = count;
      const ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return {Status::blocked, 0};
        return {Status::failed, errno};
      }
      advance(static_cast<std::size_t>(n));
    }
    release();
    return {};
  }

  bool halfWritten() const override { return next_ < pieces_.size(); }

  std::size_t drop(std::vector<SharedErrorHandler>& unwritten) override {
    std::size_t held = headers_.capacity();
    for (const Payload& payload : payloads_) held += payload->size();
    for (auto& handler : errors_) unwritten.push_back(std::move(handler));
    release();
    std::string().swap(headers_);
    return held;
  }

 private:
  // Pieces per system call (the kernel takes up to 1,024).
  static constexpr std::size_t kMaxPieces = 256;

  void advance(std::size_t written) {
    while (written > 0 && next_ < pieces_.size()) {
      const std::size_t left = pieces_[next_].size() - offset_;
      if (written < left) {
        offset_ += written;
        return;
      }
      written -= left;
      ++next_;
      offset_ = 0;
    }
  }

  void release() {
    pieces_.clear();
    payloads_.clear();
    errors_.clear();
    next_ = 0;
    offset_ = 0;
  }

  // A report differs from the one before only in its serial and its lengths: its header is
  // copied from one made once for the interface and member, and those are patched.
  void appendHeader(std::uint32_t serial, std::string_view interface, std::string_view member,
                    std::size_t payloadSize) {
    if (template_.empty() || interface != templateInterface_ || member != templateMember_) {
      templateInterface_.assign(interface);
      templateMember_.assign(member);
      template_.clear();
      appendReport(template_, 0, interface, member, {});
    }
    const std::size_t start = headers_.size();
    headers_.append(template_);
    auto putU32At = [&](std::size_t at, std::uint32_t value) {
      for (int i = 0; i < 4; ++i) headers_[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
    };
    const auto size = static_cast<std::uint32_t>(payloadSize);
    putU32At(start + 4, 4 + size);  // the body: the array's length and its bytes
    putU32At(start + 8, serial);
    putU32At(headers_.size() - 4, size);
  }

  // Serials of our own messages, apart from those sd-bus gives its messages (counting from 1).
  std::uint32_t nextSerial() {
    if (serial_ == 0) serial_ = 0x80000000u;
    return serial_++;
  }

  const int fd_;
  // Each report is written as its header and its payload, straight from the queued bytes: many
  // reports per system call, and no copy of a report's bytes on this side.
  std::string headers_;                     // the headers of the reports being written
  std::vector<std::string_view> pieces_;    // headers and payloads, in order
  std::vector<Payload> payloads_;           // kept until written
  std::size_t next_ = 0;                    // the first piece not fully written
  std::size_t offset_ = 0;                  // bytes of it written
  std::vector<SharedErrorHandler> errors_;  // of the reports being written
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
