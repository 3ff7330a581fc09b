// Audit record parsing: records as this machine's PAM, sshd and login write them, and hostile
// ones (quotes, hex, bytes above 0x7f, cut-off and oversized values, forged kernel fields).
#include <gtest/gtest.h>

#include <string>

#include "platform/Utf8.h"
#include "platform/endpoint_security/audit/AuditRecord.h"

using namespace platform::es::audit;

namespace {

std::optional<std::string> msgField(const std::string& text, const char* key) {
  const std::optional<AuditRecord> record = parseAuditRecord(kUserAuth, text);
  if (!record) return std::string("<unparsed>");
  return record->message.find(key);
}

std::string hexOf(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(AuditRecord, SuAuthenticationAsWritten) {
  const std::string text =
      "audit(1796882298.405:13): pid=11604 uid=1002 auid=4294967295 ses=4294967295 "
      "msg='op=PAM:authentication grantors=pam_permit,pam_cap acct=\"aexpuser\" "
      "exe=\"/usr/bin/su\" hostname=? addr=? terminal=/dev/pts/0 res=success'";
  const std::optional<AuditRecord> record = parseAuditRecord(kUserAuth, text + '\0');
  ASSERT_TRUE(record);
  EXPECT_EQ(record->type, kUserAuth);
  EXPECT_EQ(record->time.tv_sec, 1796882298);
  EXPECT_EQ(record->time.tv_nsec, 405000000);
  EXPECT_EQ(record->serial, 13u);
  EXPECT_EQ(record->pid, 11604);
  EXPECT_EQ(record->uid, 1002u);
  EXPECT_EQ(record->auid, 4294967295u);
  EXPECT_EQ(record->ses, 4294967295u);
  EXPECT_EQ(record->message.find("op"), "PAM:authentication");
  EXPECT_EQ(record->message.find("acct"), "aexpuser");
  EXPECT_EQ(record->message.find("exe"), "/usr/bin/su");
  EXPECT_EQ(record->message.find("terminal"), "/dev/pts/0");
  EXPECT_EQ(record->message.find("res"), "success");
  EXPECT_TRUE(record->message.has("hostname"));
  EXPECT_EQ(record->message.find("hostname"), std::nullopt);  // "?"
  EXPECT_EQ(record->message.find("missing"), std::nullopt);
  EXPECT_FALSE(record->message.has("missing"));
}

// Values one at a time, inside an otherwise well-formed sshd record.
TEST(AuditRecord, ValueDecoding) {
  const std::string nonUtf8Hex = hexOf("ab\xff\xfe");
  const std::string umlautHex = hexOf("j\xc3\xbcrgen o'brien \"x\"");
  const std::string big(8192, 'a');
  struct Case {
    const char* name;
    std::string acct;  // as written after acct=
    std::optional<std::string> expected;
  } cases[] = {
      {"quoted", "\"alice\"", "alice"},
      {"quoted empty", "\"\"", ""},
      {"hex of (invalid user)", "28696E76616C6964207573657229", "(invalid user)"},
      {"hex lower case", "616c696365", "alice"},
      {"hex holding quotes, spaces and UTF-8", umlautHex, "j\xc3\xbcrgen o'brien \"x\""},
      {"hex of bytes that are not UTF-8", nonUtf8Hex, std::nullopt},
      {"odd-length hex is plain text", "abc", "abc"},
      {"not hex is plain text", "alice", "alice"},
      {"question mark", "?", std::nullopt},
      {"quoted UTF-8", "\"j\xc3\xbcrgen\"", "j\xc3\xbcrgen"},
      {"quoted bytes above 0x7f, not UTF-8", "\"\xc3\x28\xa0\xa1\"", std::nullopt},
      {"quoted overlong form", "\"\xc0\xaf\"", std::nullopt},
      {"quoted surrogate", "\"\xed\xa0\x80\"", std::nullopt},
      {"quoted single quote inside", "\"o'brien\"", "o'brien"},
      {"8 KiB quoted", "\"" + big + "\"", big},
      {"8 KiB hex", hexOf(big), big},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text =
        "audit(1.000:1): pid=7 uid=0 auid=4294967295 ses=4294967295 "
        "msg='op=PAM:authentication acct=" +
        c.acct + " exe=\"/usr/sbin/sshd\" addr=127.0.0.1 res=failed'";
    EXPECT_EQ(msgField(text, "acct"), c.expected);
    // The fields after the value are read intact.
    EXPECT_EQ(msgField(text, "exe"), "/usr/sbin/sshd");
    EXPECT_EQ(msgField(text, "res"), "failed");
  }
}

// A sender controls everything inside msg='...': none of it may change whom the record is
// attributed to or which program wrote it.
TEST(AuditRecord, HostileSenderText) {
  struct Case {
    const char* name;
    std::string msg;
    std::optional<std::string> acct;
    std::optional<std::string> exe;
  } cases[] = {
      {"kernel fields written by the sender", "op=x pid=1 uid=0 auid=0 ses=1 acct=\"a\"", "a",
       std::nullopt},
      {"a second exe= does not replace the first",
       "op=x acct=\"a\" exe=\"/tmp/evil\" exe=\"/usr/sbin/sshd\"", "a", "/tmp/evil"},
      {"exe= inside a quoted value", "op=x acct=\"a exe=/usr/sbin/sshd\" res=failed",
       "a exe=/usr/sbin/sshd", std::nullopt},
      {"a quote closed by the next field's quote", "op=x acct=\"a exe=\"/usr/sbin/sshd",
       "a exe=", std::nullopt},
      {"cut off inside a value", "op=x exe=\"/usr/sb", std::nullopt, std::nullopt},
      {"words without values", "op=x stray words acct=\"a\" =b", "a", std::nullopt},
      {"control characters in a quoted value", "acct=\"a\tb\x01\"", "a\tb\x01", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = "audit(1.5:2): pid=4242 uid=1000 auid=1000 ses=3 msg='" + c.msg + "'";
    const std::optional<AuditRecord> record = parseAuditRecord(kUserAuth, text);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->pid, 4242);
    EXPECT_EQ(record->uid, 1000u);
    EXPECT_EQ(record->auid, 1000u);
    EXPECT_EQ(record->ses, 3u);
    EXPECT_EQ(record->message.find("acct"), c.acct);
    EXPECT_EQ(record->message.find("exe"), c.exe);
  }
}

TEST(AuditRecord, MalformedHeadersAreRefused) {
  for (const char* text : {"", "audit(", "audit(1.2:3)", "type=1100 msg=audit(1.2:3): pid=1",
                           "audit(x.2:3): pid=1", "audit(1.2000:3): pid=1", "audit(1:3): pid=1",
                           "audit(1.2:): pid=1", "audit(1.2:3:4): pid=1"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseAuditRecord(kUserAuth, text));
  }
}

TEST(AuditRecord, KernelFieldsThatAreNotNumbersAreMissing) {
  const std::optional<AuditRecord> record =
      parseAuditRecord(kUserLogin, "audit(1.2:3): pid=12ab uid=-1 auid=? msg='op=login'");
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->pid);
  EXPECT_FALSE(record->uid);
  EXPECT_FALSE(record->auid);
  EXPECT_FALSE(record->ses);
  EXPECT_EQ(record->message.find("op"), "login");
}

TEST(AuditRecord, StrictUtf8) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain", true},
      {"\xc3\xbc", true},
      {"\xe2\x82\xac", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xc3", false},
      {"\x80", false},
      {"\xc1\xbf", false},
      {"\xe0\x80\xaf", false},
      {"\xed\xa0\x80", false},
      {"\xf4\x90\x80\x80", false},
      {"\xf5\x80\x80\x80", false},
      {"\xe2\x82", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(platform::isValidUtf8(c.text), c.valid);
  }
}

}  // namespace
