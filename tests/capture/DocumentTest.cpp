// Whole documents: event messages converted and encoded, compared byte for byte.
//
// Golden files (golden/<member>.json, one per event kind) hold the document of the builder's
// distinct-value message of that kind, indented for reading; the comparison drops the
// indentation again (whitespace outside strings) and compares the exact bytes the encoder
// produced. Regenerate them only on purpose, then read the diff:
//
//   capture_document_tests --update-golden      (or UPDATE_GOLDEN=1 capture_document_tests)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "agent/capture/Conversion.h"
#include "agent/capture/EventTable.h"
#include "agent/model/JsonEncoding.h"
#include "platform/log/Log.h"
#include "shared/ipc/JsonLayout.h"
#include "tests/support/EsMessageBuilder.h"
#include "tests/support/GoldenDocuments.h"

namespace agent {
// Names the kind in test output instead of dumping its bytes.
void PrintTo(const EventKind& kind, std::ostream* out) {
  *out << kind.member;
}
}  // namespace agent

namespace {

bool gUpdateGolden = false;

std::optional<std::string> documentOf(const es_message_t& message) {
  platform::log::Capture quiet;  // the kinds' log lines are checked elsewhere
  return model::encode(agent::makeEsMessage(message));
}

TEST(Documents, ForkExampleByteForByte) {
  fixture::EsMessageBuilder b = fixture::EsMessageBuilder::forkExample();
  EXPECT_EQ(documentOf(b.message()), fixture::kForkExampleDocument);
}

// ---- golden files ---------------------------------------------------------------------------

// Indents a compact document as the golden files are written: two spaces a level.
std::string indent(std::string_view json) {
  return ipc::indentedJson(json, 2);
}

// Where two documents first differ, with some context of each.
std::string firstDifference(std::string_view expected, std::string_view actual) {
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  const std::size_t from = at > 60 ? at - 60 : 0;
  std::ostringstream out;
  out << "first difference at byte " << at << " (golden " << expected.size() << " bytes, actual "
      << actual.size() << " bytes)\n  golden: ..." << expected.substr(from, 120)
      << "\n  actual: ..." << actual.substr(from, 120) << "\n          "
      << std::string(3 + at - from, ' ') << "^";
  return out.str();
}

class GoldenDocument : public testing::TestWithParam<agent::EventKind> {};

TEST_P(GoldenDocument, MatchesItsFile) {
  const agent::EventKind& kind = GetParam();
  const std::filesystem::path path =
      std::filesystem::path(CAPTURE_GOLDEN_DIR) / (std::string(kind.member) + ".json");
  fixture::EsMessageBuilder b(kind.type);
  const std::optional<std::string> document = documentOf(b.message());
  ASSERT_TRUE(document.has_value());

  if (gUpdateGolden) {
    const std::string text = indent(*document);
    ASSERT_EQ(fixture::compact(text), *document) << "indenting changed the document";
    std::ofstream(path, std::ios::binary) << text;
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    std::printf("updated %s\n", path.c_str());
    return;
  }
  const std::optional<std::string> golden = fixture::readGoldenDocument(path);
  ASSERT_TRUE(golden.has_value()) << path << " is missing; run with --update-golden to write it";
  EXPECT_TRUE(*golden == *document)
      << path.filename() << " differs from the document\n"
      << firstDifference(*golden, *document)
      << "\nIf the change is intended, run with --update-golden and review the diff.";
}

INSTANTIATE_TEST_SUITE_P(EveryKind, GoldenDocument, testing::ValuesIn(agent::kEventKinds),
                         [](const testing::TestParamInfo<agent::EventKind>& info) {
                           return std::string(info.param.member);
                         });

TEST(GoldenFormat, IndentingAndCompactingKeepStringsIntact) {
  const std::string document =
      R"({"a":"x, y: {\"z\"} [\\] \/ sp ace","b":[],"c":{},"d":[1,{"e":true}],"f":-1.5})";
  const std::string text = indent(document);
  EXPECT_EQ(fixture::compact(text), document);
  EXPECT_NE(text.find("\"x, y: {\\\"z\\\"} [\\\\] \\/ sp ace\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"b\": [],"), std::string::npos) << text;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--update-golden") gUpdateGolden = true;
  }
  if (const char* env = std::getenv("UPDATE_GOLDEN"); env && std::string_view(env) == "1") {
    gUpdateGolden = true;
  }
  return RUN_ALL_TESTS();
}
