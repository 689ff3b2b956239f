#include "logging/TFileLogProducer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "tests/logging/TFileLogProducerTestSupport.h"
#include "tests/uTestDirectory.h"

namespace {

namespace fs = std::filesystem;

using fileproducertest::At;
using fileproducertest::ColonMasks;
using fileproducertest::MakeProducer;
using fileproducertest::Release;

TEST(TFileLogProducerTest, HourFilesForwardBackAndOverMidnight) {
  TTestDirectory dir;
  auto producer = MakeProducer(dir.Dir(), "Billing", "Core", "Core");
  const std::string day7 = dir.Dir() + "10.1.2.3/Billing/Core/2024_03_07/";
  const std::string day8 = dir.Dir() + "10.1.2.3/Billing/Core/2024_03_08/";

  producer->AddMessage("a", At(2024, 3, 7, 13, 59, 58, 500), At(2024, 3, 7, 13, 59, 59, 999));
  producer->AddMessage("b", At(2024, 3, 7, 14, 0, 0, 0), At(2024, 3, 7, 14, 0, 0, 0));
  // The clock set back: the earlier hour's file is appended to.
  producer->AddMessage("c", At(2024, 3, 7, 13, 30, 0, 0), At(2024, 3, 7, 13, 30, 0, 7));
  producer->AddMessage("d", At(2024, 3, 7, 23, 59, 59, 990), At(2024, 3, 8, 0, 0, 0, 0));
  EXPECT_TRUE(producer->IsOpen());
  Release(producer);

  EXPECT_EQ(ReadTextFile(day7 + "Core_13.log"),
            "13:59:59.999[13:59:58.500] : a\r\n13:30:00.007[13:30:00.000] : c\r\n");
  EXPECT_EQ(ReadTextFile(day7 + "Core_14.log"), "14:00:00.000[14:00:00.000] : b\r\n");
  EXPECT_EQ(ReadTextFile(day8 + "Core_00.log"), "00:00:00.000[23:59:59.990] : d\r\n");
}

TEST(TFileLogProducerTest, LineFormsAndNames) {
  using namespace std::string_view_literals;
  TTestDirectory dir;
  const TDateTime serverTime = At(2024, 3, 7, 14, 5, 9, 120);
  struct Case {
    const char* prefix;
    std::string_view text;
    TDateTime clientTime;
    const char* file;
    std::string_view line;
  };
  const Case cases[] = {
      {"", "bare", 0, "14.log", "bare\r\n"},
      {"web", "stamped", At(2024, 3, 7, 14, 5, 8, 997), "web_14.log",
       "14:05:09.120[14:05:08.997] : stamped\r\n"},
      // Only the time of day of a client time on another day shows.
      {"other", "old", At(2020, 1, 1, 1, 2, 3, 4), "other_14.log",
       "14:05:09.120[01:02:03.004] : old\r\n"},
      {"crlf", "ends\r\n", 0, "crlf_14.log", "ends\r\n\r\n"},
      {"empty", "", 0, "empty_14.log", "\r\n"},
      {"zero", "a\0b"sv, 0, "zero_14.log", "a\0b\r\n"sv},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    auto producer = MakeProducer(dir.Dir(), "App", "Mod", c.prefix);
    producer->AddMessage(c.text, c.clientTime, serverTime);
    Release(producer);
    EXPECT_EQ(ReadTextFile(dir.Dir() + "10.1.2.3/App/Mod/2024_03_07/" + c.file), c.line);
  }
}

// Every ":" of the stamp masks is the time separator, the one after the client time included.
TEST(TFileLogProducerTest, StampsUseTheLocaleTimeSeparator) {
  TTestDirectory dir;
  TFormatSettings settings;
  settings.TimeSeparator = '.';
  auto producer = MakeProducer(dir.Dir(), "App", "Mod", "", "1",
                               std::make_shared<const TFileLogMasks>(settings));
  producer->AddMessage("x", At(2024, 3, 7, 14, 5, 8, 997), At(2024, 3, 7, 14, 5, 9, 120));
  Release(producer);
  EXPECT_EQ(ReadTextFile(dir.Dir() + "10.1.2.3/App/Mod/2024_03_07/14.log"),
            "14.05.09.120[14.05.08.997] . x\r\n");
}

TEST(TFileLogProducerTest, BaseCatalogIsAPlainPrefix) {
  TTestDirectory dir;
  auto producer = MakeProducer(dir.Dir() + "logs", "App", "Mod", "");
  producer->AddMessage("x", 0, At(2024, 3, 7, 14, 0, 0, 0));
  Release(producer);
  EXPECT_EQ(ReadTextFile(dir.Dir() + "logs10.1.2.3/App/Mod/2024_03_07/14.log"), "x\r\n");
}

TEST(TFileLogProducerTest, FailedOpenDropsTheHourAndRecovers) {
  TTestDirectory dir;
  // A plain file where the address folder should be makes every open fail.
  WriteTextFile(dir.Dir() + "10.1.2.3", "not a folder");
  auto producer = MakeProducer(dir.Dir(), "App", "Mod", "");
  producer->AddMessage("lost 1", 0, At(2024, 3, 7, 14, 0, 0, 0));
  EXPECT_FALSE(producer->IsOpen());

  fs::remove(dir.Dir() + "10.1.2.3");
  // No new attempt within the same hour.
  producer->AddMessage("lost 2", 0, At(2024, 3, 7, 14, 59, 59, 999));
  EXPECT_FALSE(producer->IsOpen());
  EXPECT_FALSE(fs::exists(dir.Dir() + "10.1.2.3"));

  producer->AddMessage("kept", 0, At(2024, 3, 7, 15, 0, 0, 0));
  EXPECT_TRUE(producer->IsOpen());
  Release(producer);
  EXPECT_FALSE(fs::exists(dir.Dir() + "10.1.2.3/App/Mod/2024_03_07/14.log"));
  EXPECT_EQ(ReadTextFile(dir.Dir() + "10.1.2.3/App/Mod/2024_03_07/15.log"), "kept\r\n");
}

TEST(TFileLogProducerTest, TwoProducersOfOnePathBothAppend) {
  TTestDirectory dir;
  const std::string file = dir.Dir() + "10.1.2.3/App/Mod/2024_03_07/p_14.log";
  fs::create_directories(dir.Dir() + "10.1.2.3/App/Mod/2024_03_07");
  WriteTextFile(file, "earlier\r\n");

  auto first = MakeProducer(dir.Dir(), "App", "Mod", "p", "1000");
  auto second = MakeProducer(dir.Dir(), "App", "Mod", "p", "1001");
  const TDateTime now = At(2024, 3, 7, 14, 0, 0, 0);
  for (int i = 0; i < 3; ++i) {
    first->AddMessage("first " + std::to_string(i), 0, now);
    second->AddMessage("second " + std::to_string(i), 0, now);
  }
  EXPECT_TRUE(first->IsOpen());
  EXPECT_TRUE(second->IsOpen());
  Release(first);
  Release(second);
  EXPECT_EQ(ReadTextFile(file),
            "earlier\r\nfirst 0\r\nsecond 0\r\nfirst 1\r\nsecond 1\r\nfirst 2\r\nsecond 2\r\n");
}

TEST(TFileLogProducerTest, RecordFieldsNeverLeaveTheTree) {
  const fileproducertest::TNameCase cases[] = {
      {"../../x", "m", "", ".._.._x/m/2024_03_07/14.log"},
      {"..\\..\\x", "m", "", ".._.._x/m/2024_03_07/14.log"},
      {"..", ".", "..", "__/_/2024_03_07/.._14.log"},
      {"a", "..", "../../p", "a/__/2024_03_07/.._.._p_14.log"},
      {"a/b", "c\\d", "e/f", "a_b/c_d/2024_03_07/e_f_14.log"},
      {"tab\there", "nl\nx", "cr\r", "tab_here/nl_x/2024_03_07/cr__14.log"},
      {"", "", "", "2024_03_07/14.log"},
  };
  fileproducertest::ExpectEachCaseLandsInItsFile(cases);
}

// FNV-1a 32 of the whole field, as the names of the log tree show it.
std::string Fnv1a32Hex(const std::string& field) {
  std::uint32_t hash = 2166136261u;
  for (const char c : field) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  }
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", hash);
  return hex;
}

TEST(TFileLogProducerTest, LongNamePartsAreCutAndMarkedWithTheirHash) {
  TTestDirectory dir;
  const std::string longApp(250, 'a');
  const std::string otherLongApp = std::string(200, 'a') + std::string(50, 'b');
  const std::string longPrefix(300, 'p');
  const std::string exact(200, 'e');
  auto first = MakeProducer(dir.Dir(), longApp, exact, longPrefix);
  auto second = MakeProducer(dir.Dir(), otherLongApp, "m", "");
  const TDateTime now = At(2024, 3, 7, 14, 0, 0, 0);
  first->AddMessage("first", 0, now);
  second->AddMessage("second", 0, now);
  Release(first);
  Release(second);

  const std::string cutApp = std::string(200, 'a') + "~" + Fnv1a32Hex(longApp);
  const std::string cutOther = std::string(200, 'a') + "~" + Fnv1a32Hex(otherLongApp);
  const std::string cutPrefix = std::string(200, 'p') + "~" + Fnv1a32Hex(longPrefix);
  ASSERT_NE(cutApp, cutOther);  // same first 200 bytes, files of their own
  EXPECT_EQ(ReadTextFile(dir.Dir() + "10.1.2.3/" + cutApp + "/" + exact + "/2024_03_07/" +
                         cutPrefix + "_14.log"),
            "first\r\n");
  EXPECT_EQ(ReadTextFile(dir.Dir() + "10.1.2.3/" + cutOther + "/m/2024_03_07/14.log"),
            "second\r\n");
}

// Producers given one table share the open file of their path.
TEST(TFileLogProducerTest, ProducersOfOneTableShareTheFileOfAPath) {
  TTestDirectory dir;
  TLogFileTable files;
  auto first = std::make_unique<TFileLogProducer>(dir.Dir(), "10.1.2.3", "1000", "App", "Mod", "",
                                                  "", ColonMasks(), &files);
  auto second = std::make_unique<TFileLogProducer>(dir.Dir(), "10.1.2.3", "1001", "App", "Mod", "",
                                                   "", ColonMasks(), &files);
  const TDateTime now = At(2024, 3, 7, 14, 0, 0, 0);
  first->AddMessage("1", 0, now);
  second->AddMessage("2", 0, now);
  EXPECT_EQ(files.OpenFileCount(), 1u);
  Release(first);
  EXPECT_EQ(files.OpenFileCount(), 1u);
  Release(second);
  EXPECT_EQ(files.OpenFileCount(), 0u);
  EXPECT_EQ(ReadTextFile(dir.Dir() + "10.1.2.3/App/Mod/2024_03_07/14.log"), "1\r\n2\r\n");
}

// Producers sharing one set of line stamps, taking lines in turn with times that repeat and
// change: every line carries its own stamps, in its own producer's masks.
TEST(TFileLogProducerTest, ProducersSharingLineStampsEachStampTheirOwnLines) {
  TTestDirectory dir;
  TLogFileTable files;
  TLineStamps stamps;
  TFormatSettings dots;
  dots.TimeSeparator = '.';
  const auto colonMasks = ColonMasks();
  const auto dotMasks = std::make_shared<const TFileLogMasks>(dots);
  const char* const applications[] = {"A", "B", "C"};
  const char separators[] = {':', ':', '.'};
  std::unique_ptr<TFileLogProducer> producers[3];
  for (int p = 0; p < 3; ++p) {
    producers[p] =
        std::make_unique<TFileLogProducer>(dir.Dir(), "10.1.2.3", "1000", applications[p], "M", "",
                                           "", p == 2 ? dotMasks : colonMasks, &files, &stamps);
  }
  struct {
    int Producer;
    int ClientMs;  // 0: no client stamp
    int ServerMs;
  } const lines[] = {
      {0, 1, 5}, {1, 1, 5}, {2, 1, 5}, {0, 2, 5}, {1, 2, 6},
      {0, 2, 6}, {2, 3, 6}, {1, 0, 7}, {0, 3, 7}, {2, 3, 7},
  };
  std::string expected[3];
  for (const auto& line : lines) {
    const TDateTime client = line.ClientMs == 0 ? 0 : At(2024, 3, 7, 14, 0, 1, line.ClientMs);
    const std::string text = "t" + std::to_string(line.ServerMs);
    producers[line.Producer]->AddMessage(text, client, At(2024, 3, 7, 14, 0, 2, line.ServerMs));
    const std::string sep(1, separators[line.Producer]);
    if (line.ClientMs != 0) {
      expected[line.Producer] += "14" + sep + "00" + sep + "02.00" + std::to_string(line.ServerMs) +
                                 "[14" + sep + "00" + sep + "01.00" +
                                 std::to_string(line.ClientMs) + "] " + sep + " ";
    }
    expected[line.Producer] += text + "\r\n";
  }
  for (int p = 0; p < 3; ++p) {
    Release(producers[p]);
    EXPECT_EQ(ReadTextFile(dir.Dir() + "10.1.2.3/" + applications[p] + "/M/2024_03_07/14.log"),
              expected[p])
        << applications[p];
  }
}

}  // namespace
