// Process and file records from the event source's layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "agent/capture/Conversion.h"
#include "tests/support/EsMessageBuilder.h"

namespace {

using agent::makeEsFile;
using agent::makeEsProcess;
using fixture::EsMessageBuilder;

model::Date unixDate(double seconds) {
  return model::Date::fromUnixTime(seconds);
}

// What process 1 of the builder must become, field by field (values differ everywhere, so a
// field read from the wrong source shows).
model::EsProcess expectedProcess1() {
  model::EsProcess p;
  p.ppid = 1001;
  p.originalPpid = 1002;
  p.pid = 1003;
  p.groupId = 1004;
  p.sessionId = 1005;
  p.euid = 1006;
  p.ruid = 1007;
  p.egid = 1008;
  p.rgid = 1009;
  p.signingId = "com.example.fixture.signer1";
  p.hash = "D1EC07223D58738EA9C4DFFA15304B66819CB7D2";
  p.teamId = "FIXTEAM001";
  p.isPlatformBinary = false;
  p.codesigningFlags = 0x26000001u;
  p.exectuable.path = "/opt/fixture/proc1/bin/tool1";
  p.exectuable.pathTuncated = false;
  p.exectuable.changeTime = unixDate(1601000022);
  p.exectuable.changeTimeStr = "2020-09-25T02:13:42Z";
  p.exectuable.modifyTime = unixDate(1601000011);
  p.exectuable.modifyTimeStr = "2020-09-25T02:13:31Z";
  p.exectuable.birthTime = unixDate(1601000033);
  p.exectuable.birthTimeStr = "2020-09-25T02:13:53Z";
  p.startTime = unixDate(1691000055);  // microseconds dropped
  p.startTimeStr = "2023-08-02T18:14:15Z";
  return p;
}

TEST(MakeEsProcess, TakesEveryFieldFromItsOwnSource) {
  EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_FORK);
  EXPECT_EQ(makeEsProcess(*b.message().process), expectedProcess1());
}

TEST(MakeEsProcess, EdgeCases) {
  struct Case {
    const char* name;
    std::function<void(EsMessageBuilder&, es_process_t&)> change;
    std::function<void(model::EsProcess&)> expect;  // applied to the unchanged record
  };
  const Case cases[] = {
      {"null team of a platform binary is system",
       [](auto&, es_process_t& p) {
         p.team_id = EsMessageBuilder::nullToken();
         p.is_platform_binary = true;
       },
       [](model::EsProcess& r) {
         r.teamId = "system";
         r.isPlatformBinary = true;
       }},
      {"null team of another binary is unknown",
       [](auto&, es_process_t& p) { p.team_id = EsMessageBuilder::nullToken(7); },
       [](model::EsProcess& r) { r.teamId = "unknown"; }},
      {"a team literally named unknown counts as none",
       [](EsMessageBuilder& b, es_process_t& p) {
         p.team_id = b.token("unknown");
         p.is_platform_binary = true;
       },
       [](model::EsProcess& r) {
         r.teamId = "system";
         r.isPlatformBinary = true;
       }},
      {"a non-UTF-8 team of a platform binary is system",
       [](EsMessageBuilder& b, es_process_t& p) {
         p.team_id = b.token("\xff");
         p.is_platform_binary = true;
       },
       [](model::EsProcess& r) {
         r.teamId = "system";
         r.isPlatformBinary = true;
       }},
      {"an empty team stays empty even for a platform binary",
       [](EsMessageBuilder& b, es_process_t& p) {
         p.team_id = b.token("");
         p.is_platform_binary = true;
       },
       [](model::EsProcess& r) {
         r.teamId = "";
         r.isPlatformBinary = true;
       }},
      {"signing id has no system substitution",
       [](EsMessageBuilder& b, es_process_t& p) {
         p.signing_id = b.token("\xff");
         p.is_platform_binary = true;
       },
       [](model::EsProcess& r) {
         r.signingId = "unknown";
         r.isPlatformBinary = true;
       }},
      {"hash of all 0xff",
       [](auto&, es_process_t& p) { std::fill(std::begin(p.cdhash), std::end(p.cdhash), 0xff); },
       [](model::EsProcess& r) { r.hash = std::string(40, 'F'); }},
      {"hash of all zero",
       [](auto&, es_process_t& p) { std::fill(std::begin(p.cdhash), std::end(p.cdhash), 0); },
       [](model::EsProcess& r) { r.hash = std::string(40, '0'); }},
      {"hash keeps byte order and leading zeros",
       [](auto&, es_process_t& p) {
         std::fill(std::begin(p.cdhash), std::end(p.cdhash), 0);
         p.cdhash[0] = 0x00;
         p.cdhash[1] = 0x1f;
         p.cdhash[2] = 0xa0;
         p.cdhash[19] = 0x0b;
       },
       [](model::EsProcess& r) { r.hash = "001FA0" + std::string(32, '0') + "0B"; }},
      {"user and group ids widen without sign, parent ids with it",
       [](auto&, es_process_t& p) {
         p.audit_token = make_audit_token(1003, 4294967295u, 4294967294u, 4294967293u, 4294967292u);
         p.ppid = -1;
         p.original_ppid = -2;
         p.group_id = -3;
         p.session_id = -4;
       },
       [](model::EsProcess& r) {
         r.euid = 4294967295;
         r.ruid = 4294967294;
         r.egid = 4294967293;
         r.rgid = 4294967292;
         r.ppid = -1;
         r.originalPpid = -2;
         r.groupId = -3;
         r.sessionId = -4;
       }},
      {"pid is signed", [](auto&, es_process_t& p) { p.audit_token.val[5] = 0xffffffffu; },
       [](model::EsProcess& r) { r.pid = -1; }},
      {"flags are carried bit for bit",
       [](auto&, es_process_t& p) { p.codesigning_flags = 0xffffffffu; },
       [](model::EsProcess& r) { r.codesigningFlags = 0xffffffffu; }},
      {"start time keeps whole seconds only",
       [](auto&, es_process_t& p) {
         p.start_time = {1700000000, 999999};
       },
       [](model::EsProcess& r) {
         r.startTime = unixDate(1700000000);
         r.startTimeStr = "2023-11-14T22:13:20Z";
       }},
      {"start time not known: the documents' zero, not 1970",
       [](auto&, es_process_t& p) {
         p.start_time = {0, 0};
       },
       [](model::EsProcess& r) {
         r.startTime = model::Date{0};
         r.startTimeStr = "2001-01-01T00:00:00Z";
       }},
      {"null executable", [](auto&, es_process_t& p) { p.executable = nullptr; },
       [](model::EsProcess& r) {
         r.exectuable = model::EsFile{};
         r.exectuable.path = "unknown";
       }},
  };
  for (const Case& c : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_FORK);
    c.change(b, *b.message().process);
    model::EsProcess expected = expectedProcess1();
    c.expect(expected);
    EXPECT_EQ(makeEsProcess(*b.message().process), expected) << c.name;
  }
}

TEST(MakeEsFile, EdgeCases) {
  struct Case {
    const char* name;
    std::function<void(EsMessageBuilder&, es_file_t&)> change;
    std::function<void(model::EsFile&)> expect;
  };
  const Case cases[] = {
      {"birth time not recorded: the documents' zero, not 1970",
       [](auto&, es_file_t& f) {
         f.stat.st_birthtimespec = {0, 0};
       },
       [](model::EsFile& r) {
         r.birthTime = model::Date{0};
         r.birthTimeStr = "2001-01-01T00:00:00Z";
       }},
      {"nanoseconds are dropped",
       [](auto&, es_file_t& f) {
         f.stat.st_mtimespec = {1700000000, 999999999};
       },
       [](model::EsFile& r) {
         r.modifyTime = unixDate(1700000000);
         r.modifyTimeStr = "2023-11-14T22:13:20Z";
       }},
      {"empty path", [](EsMessageBuilder& b, es_file_t& f) { f.path = b.token(""); },
       [](model::EsFile& r) { r.path = ""; }},
      {"null path, truncation flag kept independently",
       [](auto&, es_file_t& f) {
         f.path = EsMessageBuilder::nullToken(12);
         f.path_truncated = true;
       },
       [](model::EsFile& r) {
         r.path = "unknown";
         r.pathTuncated = true;
       }},
      {"non-UTF-8 path",
       [](EsMessageBuilder& b, es_file_t& f) { f.path = b.token("/tmp/\xc0\xaf"); },
       [](model::EsFile& r) { r.path = "unknown"; }},
  };
  for (const Case& c : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_FORK);
    es_file_t& file = *b.message().process->executable;
    c.change(b, file);
    model::EsFile expected = expectedProcess1().exectuable;
    c.expect(expected);
    EXPECT_EQ(makeEsFile(file), expected) << c.name;
  }
}

}  // namespace
